#include "discovery/export_scripts.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"

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
  // su reads a leading "-" as an option. The owner's commands run in /bin/sh whatever its login
  // shell is: some shells keep a here-document, here one holding the login, in a file.
  const std::string su =
      v.oracleUser.empty() || v.oracleUser[0] != '-' ? "su -s /bin/sh " : "su -s /bin/sh -- ";
  std::string script;
  script += su + ShellWord(v.oracleUser) + " << 'EOF_MAIN' \n";
  script += "export ORACLE_HOME=" + ShellWord(v.dbHome) + "\n";
  script += "export ORACLE_SID=" + ShellWord(v.oracleSid) + "\n";
  // The Oracle libraries only: no entry inherited, no empty one (the working directory).
  script += "export LD_LIBRARY_PATH=" + ShellWord(v.dbHome + "/lib") + "\n";
  script += ShellWord(v.dbHome + "/bin/sqlplus") + " /nolog << 'EOF' \n";
  // No substitution variables: an "&" in a value is just a character.
  script += "SET DEFINE OFF\n";
  // A failed login, statement or file write ends sqlplus with a failure status.
  script += "WHENEVER SQLERROR EXIT FAILURE\n";
  script += "WHENEVER OSERROR EXIT FAILURE\n";
  script += "CONNECT " + SqlplusWord(dbUser, false) + "/" + SqlplusWord(dbPassword, false) + "\n";
  script += "@" + SqlplusWord(v.sqlScriptPath, true) + "\n";
  script += "EOF\n";
  script += "EOF_MAIN\n";
  return script;
}

Status CheckScriptValues(const ScriptValuesToCheck& v) {
  struct Value {
    const char* what;
    std::string_view value;
  };
  const Value user{"database user", v.dbUser}, pass{"database password", v.dbPassword};
  const Value values[] = {{"Oracle home", v.dbHome},
                          {"SID", v.oracleSid},
                          {"Oracle owner", v.oracleUser},
                          {"temporary directory", v.tempDir},
                          user,
                          pass};
  for (const Value& value : values)
    if (!IsScriptSafe(value.value))
      return Status::Error(std::string("The ") + value.what +
                           " holds a line feed or NUL byte; it cannot be put into a script");
  // An empty login is operating-system authentication to sqlplus, and a double quote cannot be
  // quoted for it.
  for (const Value& value : {user, pass}) {
    if (value.value.empty())
      return Status::Error(std::string("The ") + value.what +
                           " is empty; the export needs a database login");
    if (value.value.find('"') != std::string_view::npos)
      return Status::Error(std::string("The ") + value.what +
                           " holds a double quote, which sqlplus cannot take in a login");
  }
  return Status::Ok();
}

std::vector<std::string> ExportEnvironment() { return {"PATH=/usr/bin:/bin", "LANG=C"}; }

std::string MaskSecret(std::string text, const std::string& secret) {
  if (secret.empty()) return text;
  for (size_t pos = text.find(secret); pos != std::string::npos; pos = text.find(secret, pos + 3))
    text.replace(pos, secret.size(), "***");
  return text;
}

std::vector<std::string> SqlplusErrorLines(std::string_view output, const std::string& secret) {
  std::vector<std::string> lines;
  for (std::string_view line : SplitView(output, '\n')) {
    const size_t ora = line.find("ORA-"), sp2 = line.find("SP2-");
    const size_t at = std::min(ora, sp2);
    if (at == std::string_view::npos) continue;
    if (lines.size() == 10) break;
    std::string text = MaskSecret(std::string(line.substr(at)), secret);
    text.resize(CutPoint(text, kMaxShownLineBytes));
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.pop_back();
    const char* hint = text.rfind("ORA-01017", 0) == 0 ? " (wrong database user or password)"
                       : text.rfind("ORA-12541", 0) == 0
                           ? " (no listener: is the database listener running?)"
                       : text.rfind("ORA-01034", 0) == 0 ? " (the database instance is not running)"
                       : text.rfind("ORA-2928", 0) == 0
                           ? " (the database could not write the export; is the disk full?)"
                           : "";
    lines.push_back(text + hint);
  }
  return lines;
}
