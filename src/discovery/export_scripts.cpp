// Context export: the PL/SQL script that dumps the context files, and the shell script that runs
// it through sqlplus as the Oracle owner.
#include "discovery/export_scripts.h"

#include <sys/stat.h>

#include "discovery/temp_files.h"
#include "platform/process.h"
#include "platform/pstring.h"
#include "worker/NqEBSInterface.h"

namespace {

bool IsAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool AllOf(std::string_view value, std::string_view extra) {
  for (char c : value)
    if (!IsAlnum(c) && extra.find(c) == std::string_view::npos) return false;
  return true;
}

// The lines after the first one; each is written followed by one line feed.
const char* const kSqlBody[] = {
    "GRANT READ ON DIRECTORY CONTEXT_OUPUT_DIR TO PUBLIC; ",
    "DECLARE ",
    "Lv_cursor PLS_INTEGER; ",
    "Lv_file UTL_FILE.file_type; ",
    // Large enough for 3000 characters of a multi-byte database character set.
    "P_SubstrVal VARCHAR2(32767); ",
    "lv_file_name VARCHAR2(100) :='NqEBSContext.out'; ",
    "P_Directory VARCHAR2(101) :='CONTEXT_OUPUT_DIR'; ",
    "crlf VARCHAR2(2) :=chr(10) || chr(13); ",
    "l_columnValClob CLOB; ",
    "P_offset NUMBER :=1; ",
    "P_amount NUMBER :=3000; ",
    "l_clobLen NUMBER :=0; ",
    "BEGIN ",
    "Lv_cursor :=DBMS_SQL.open_cursor; ",
    "",
    "Lv_file :=utl_file.fopen(P_Directory, lv_file_name, 'w'); ",
    "UTL_FILE.fclose(Lv_file); ",
    ("FOR i IN(SELECT NAME || ',' || CTX_TYPE || ',' || REPLACE(TEXT, CHR(10), ' ') AS CONTEXT "
     "FROM fnd_oam_context_files WHERE NAME != 'TEMPLATE' AND NAME != 'METADATA') "),
    "LOOP ",
    "l_columnValClob :=i.CONTEXT; ",
    "l_clobLen :=DBMS_LOB.GETLENGTH(l_columnValClob); ",
    "--DBMS_OUTPUT.PUT_LINE(l_clobLen); ",
    "Lv_file:= utl_file.fopen(P_Directory, lv_file_name, 'ab'); ",
    "P_offset:= 1; ",
    "P_SubstrVal:= ''; ",
    "WHILE P_offset <= l_clobLen ",
    "LOOP ",
    "P_SubstrVal := dbms_lob.substr(l_columnValClob, P_amount, P_offset); ",
    "utl_file.put_raw(Lv_file, utl_raw.cast_to_raw(P_SubstrVal)); ",
    "utl_file.fflush(Lv_file); ",
    "P_offset:= P_offset + P_amount; ",
    "--DBMS_OUTPUT.PUT_LINE('OFFSET ' || P_offset || ' Amount ' || P_amount); ",
    "END LOOP; ",
    "UTL_FILE.fclose(Lv_file); ",
    "Lv_file:= utl_file.fopen(P_Directory, lv_file_name, 'a'); ",
    // With the next line one statement whose literal is a single line feed.
    "utl_file.put_line(Lv_file, '",
    "'); ",
    "UTL_FILE.fclose(Lv_file); ",
    "END LOOP; ",
    "UTL_FILE.fclose(Lv_file); ",
    "END; ",
    "/ ",
};

}  // namespace

bool IsScriptSafe(std::string_view value) {
  return value.find('\n') == std::string_view::npos && value.find('\0') == std::string_view::npos;
}

std::string ShellWord(std::string_view value) {
  if (!value.empty() && AllOf(value, "_./:@%+,-")) return std::string(value);
  std::string word = "'";
  for (char c : value) {
    if (c == '\'')
      word += "'\\''";
    else
      word += c;
  }
  return word + "'";
}

std::string SqlplusWord(std::string_view value, bool fileName) {
  if (value.empty() || AllOf(value, fileName ? "_./-" : "_$#")) return std::string(value);
  std::string word = "\"";
  for (char c : value) {
    if (c == '"') word += '"';
    word += c;
  }
  return word + "\"";
}

std::string BuildSqlScript(const std::string& tempDir) {
  std::string script = "CREATE OR REPLACE DIRECTORY CONTEXT_OUPUT_DIR AS '";
  for (char c : tempDir) {
    if (c == '\'') script += '\'';
    script += c;
  }
  script += "';\n";
  for (const char* line : kSqlBody) {
    script += line;
    script += '\n';
  }
  return script;
}

std::string BuildShellScript(const ShellScriptValues& v, const std::string& dbUser,
                             const std::string& dbPassword) {
  // su reads a leading "-" as an option.
  const std::string su = v.oracleUser.empty() || v.oracleUser[0] != '-' ? "su " : "su -- ";
  std::string script;
  script += su + ShellWord(v.oracleUser) + " << 'EOF_MAIN' \n";
  script += "export ORACLE_HOME=" + ShellWord(v.dbHome) + "\n";
  script += "export ORACLE_SID=" + ShellWord(v.oracleSid) + "\n";
  script += "export LD_LIBRARY_PATH=$LD_LIBRARY_PATH:" + ShellWord(v.dbHome + "/lib") + "\n";
  script += ShellWord(v.dbHome + "/bin/sqlplus") + " /nolog << 'EOF' \n";
  // No substitution variables: an "&" in a value is just a character.
  script += "SET DEFINE OFF\n";
  script += "CONNECT " + SqlplusWord(dbUser, false) + "/" + SqlplusWord(dbPassword, false) + "\n";
  script += "@" + SqlplusWord(v.sqlScriptPath, true) + "\n";
  script += "EOF\n";
  script += "EOF_MAIN\n";
  return script;
}

int NqEBSInterface::PrepareSQLScript() {
  static const char* const kLabel = "PrepareSQLScript";
  sqlScriptPath = tempDir + "/" + kSqlScriptName;
  exportFilePath = tempDir + "/" + kExportFileName;
  std::string error;
  // An export left by an earlier run must never be read as this run's.
  if (!RemoveEntry(exportFilePath, &error)) {
    EvDebug::Debug(logContext, kLabel, "Cannot remove the old export file: %s", error.c_str());
    return 1;
  }
  // Read by sqlplus as the Oracle owner; it holds no secret.
  if (!WriteNewFile(sqlScriptPath, BuildSqlScript(tempDir), 0644, &error)) {
    EvDebug::Debug(logContext, kLabel, "Cannot write the PL/SQL script: %s", error.c_str());
    return 1;
  }
  return 0;
}

int NqEBSInterface::ExecShellScript() {
  static const char* const kLabel = "ExecShellScript";
  auto login = View(request)
                   .child(Hux::OraEBSReqResp::ebsConfig, Create::No)
                   .child(Hux::OraEBSConfig::appTier, Create::No)
                   .child(Hux::OraEBSAppTier::databaseLogin, Create::No);
  const std::string userName = login.get(UserCredentials::userName);
  const bstring password = pstring(login.get(UserCredentials::password)).getPlainPassword();

  const std::string shellScriptPath = tempDir + "/" + kShellScriptName;
  std::string script =
      BuildShellScript({oracleUser, dbHome, oracleSid, sqlScriptPath}, userName, password.str());
  std::string error;
  // It holds the password: readable by its owner only, and removed after the run.
  const bool written = WriteNewFile(shellScriptPath, script, 0700, &error);
  WipeString(script);
  if (!written) {
    std::string ignored;
    RemoveEntry(shellScriptPath, &ignored);
    EvDebug::Debug(logContext, kLabel, "Cannot write the shell script: %s", error.c_str());
    return 1;
  }

  const std::string command = "sh " + ShellWord(shellScriptPath);
  std::string output, errors;
  const int rc = NqProcess::system(command, &output, &errors, 0, false);
  if (!RemoveEntry(shellScriptPath, &error))
    EvDebug::Debug(logContext, kLabel, "Cannot remove the shell script: %s", error.c_str());
  if (rc != 0) {
    EvDebug::Debug(logContext, kLabel,
                   "Script execution failed, command [%s] , Output [%s], Error [%s]",
                   command.c_str(), output.c_str(), errors.c_str());
    return 1;
  }

  // A failed login or a failing database leaves no export file behind (the old one is gone).
  struct stat st {};
  if (::lstat(exportFilePath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    EvDebug::Debug(logContext, kLabel,
                   "The database wrote no export file %s, command [%s] , Output [%s], Error [%s]",
                   exportFilePath.c_str(), command.c_str(), output.c_str(), errors.c_str());
    return 1;
  }
  return 0;
}
