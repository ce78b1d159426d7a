// The texts of discovery: reading the instance table and the export file, and the generated
// scripts, including a run of the shell script through a stand-in su and the fake sqlplus.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "discovery/export_file.h"
#include "discovery/export_scripts.h"
#include "discovery/oratab.h"
#include "support/fake_oracle.h"

namespace {

using Kind = OratabLine::Kind;

TEST(Oratab, LinesBecomeEntries) {
  const std::string longHome = "/u01/" + std::string(5000, 'h');
  struct Case {
    const char* what;
    std::string text;
    std::vector<OratabLine> want;
  } cases[] = {
      {"a standard entry: no flag, no line end in the home",
       "PROD:/u01/db:N\n",
       {{Kind::Entry, "PROD", "/u01/db", ""}}},
      {"two fields: the line end is not part of the home",
       "PROD:/u01/db\n",
       {{Kind::Entry, "PROD", "/u01/db", ""}}},
      {"nor is a carriage return before it",
       "PROD:/u01/db\r\nTEST:/u02/db:Y\r\n",
       {{Kind::Entry, "PROD", "/u01/db", ""}, {Kind::Entry, "TEST", "/u02/db", ""}}},
      {"a last line without a line end", "PROD:/u01/db", {{Kind::Entry, "PROD", "/u01/db", ""}}},
      {"a SID and a colon lack a home", "PROD:\n", {{Kind::Invalid, "", "", "PROD"}}},
      {"a line without a colon is invalid, logged whole",
       "  just text\n",
       {{Kind::Invalid, "", "", "just text"}}},
      {"colons only", ":::\n", {{Kind::Invalid, "", "", ""}}},
      {"comments, blank and empty lines are no records", "# PROD:/x:N\n\n \t \n\t# c\n\r\n", {}},
      {"indented entries are read", " \tPROD:/u01/db:N\n", {{Kind::Entry, "PROD", "/u01/db", ""}}},
      {"runs of colons and a leading colon separate like one",
       ":PROD:::/u01/db::N\n",
       {{Kind::Entry, "PROD", "/u01/db", ""}}},
      {"a starred SID is marked",
       "*:/u01/db:N\n*PROD:/u01/db:N\n",
       {{Kind::Starred, "*", "/u01/db", ""}, {Kind::Starred, "*PROD", "/u01/db", ""}}},
      {"a line longer than any buffer stays one line",
       "PROD:" + longHome + ":N\n",
       {{Kind::Entry, "PROD", longHome, ""}}},
      {"blanks inside fields are kept",
       "PROD :/u01/my db :N\n",
       {{Kind::Entry, "PROD ", "/u01/my db ", ""}}},
      {"an empty table", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<OratabLine> got = ParseOratab(c.text);
    ASSERT_EQ(got.size(), c.want.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].kind, c.want[i].kind);
      EXPECT_EQ(got[i].sid, c.want[i].sid);
      EXPECT_EQ(got[i].home, c.want[i].home);
      EXPECT_EQ(got[i].text, c.want[i].text);
    }
  }
}

TEST(ExportFile, LinesSplitIntoNameTypeAndContext) {
  struct Want {
    std::string name, type, context;
  };
  struct Case {
    const char* what;
    std::string text;
    std::vector<Want> want;
  } cases[] = {
      {"records each followed by an empty line",
       "A,D,<a/>\n\nB,APPL,<b/>\n\n",
       {{"A", "D", "<a/>"}, {"B", "APPL", "<b/>"}}},
      {"commas in the context stay in it",
       "A,D,<a x='1,2'>,</a>\n\n",
       {{"A", "D", "<a x='1,2'>,</a>"}}},
      {"carriage returns are kept", "A,D,<a>\r</a>\r\n\n", {{"A", "D", "<a>\r</a>\r"}}},
      {"an empty file", "", {}},
      {"empty lines only", "\n\n\n", {}},
      {"a one-byte line is skipped", "x\n", {}},
      {"a two-byte line without a comma is name, type and context", "ab\n", {{"ab", "ab", "ab"}}},
      {"one comma: the rest is both type and context", "N,<x/>\n", {{"N", "<x/>", "<x/>"}}},
      {"empty name and type", ",,<x/>\n", {{"", "", "<x/>"}}},
      {"a last line without a line feed", "A,D,<a/>", {{"A", "D", "<a/>"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<ExportRecord> got = ParseExport(c.text);
    ASSERT_EQ(got.size(), c.want.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].name, c.want[i].name);
      EXPECT_EQ(got[i].type, c.want[i].type);
      EXPECT_EQ(got[i].context, c.want[i].context);
    }
  }
}

TEST(ExportScripts, SqlScriptHas43LinesAndNamesTheDirectory) {
  const std::vector<std::string> lines = Split(BuildSqlScript("/tmp/x"));
  ASSERT_EQ(lines.size(), 43u);
  EXPECT_EQ(lines[0], "CREATE OR REPLACE DIRECTORY CONTEXT_OUPUT_DIR AS '/tmp/x';");
  EXPECT_EQ(lines[5], "P_SubstrVal VARCHAR2(32767); ");
  EXPECT_EQ(lines[15], "");
  EXPECT_EQ(lines[18],
            "FOR i IN(SELECT NAME || ',' || CTX_TYPE || ',' || REPLACE(TEXT, CHR(10), ' ') AS "
            "CONTEXT FROM fnd_oam_context_files WHERE NAME != 'TEMPLATE' AND NAME != 'METADATA') ");
  // One statement whose literal is a single line feed.
  EXPECT_EQ(lines[36] + "\n" + lines[37], "utl_file.put_line(Lv_file, '\n'); ");
  EXPECT_EQ(lines[42], "/ ");
  EXPECT_EQ(BuildSqlScript("/tmp/x").back(), '\n');
  // A quote in the directory is doubled inside the SQL literal.
  EXPECT_EQ(Split(BuildSqlScript("/tmp/it's"))[0],
            "CREATE OR REPLACE DIRECTORY CONTEXT_OUPUT_DIR AS '/tmp/it''s';");
}

TEST(ExportScripts, ShellScriptOfPlainValues) {
  const std::string script = BuildShellScript(
      {"oracle", "/u01/db", "PROD", "/var/tmp/ebs-host/NqEBSFetchContext.sql"}, "apps", "apps");
  EXPECT_EQ(script,
            "su oracle << 'EOF_MAIN' \n"
            "export ORACLE_HOME=/u01/db\n"
            "export ORACLE_SID=PROD\n"
            "export LD_LIBRARY_PATH=$LD_LIBRARY_PATH:/u01/db/lib\n"
            "/u01/db/bin/sqlplus /nolog << 'EOF' \n"
            "SET DEFINE OFF\n"
            "CONNECT apps/apps\n"
            "@/var/tmp/ebs-host/NqEBSFetchContext.sql\n"
            "EOF\n"
            "EOF_MAIN\n");
  // No login: a lone slash.
  EXPECT_NE(
      BuildShellScript({"oracle", "/u01/db", "PROD", "/t/x.sql"}, "", "").find("\nCONNECT /\n"),
      std::string::npos);
}

TEST(ExportScripts, QuotingOnlyWhereNeeded) {
  struct Case {
    const char* what;
    std::string value, shell, sqlplus;
  } cases[] = {
      {"plain", "apps_01", "apps_01", "apps_01"},
      {"a path", "/u01/db-1.2", "/u01/db-1.2", "\"/u01/db-1.2\""},
      {"sqlplus-plain dollar and hash", "a$b#c", "'a$b#c'", "a$b#c"},
      {"a blank", "a b", "'a b'", "\"a b\""},
      {"single quote", "it's", "'it'\\''s'", "\"it's\""},
      {"double quote", "say \"hi\"", "'say \"hi\"'", "\"say \"\"hi\"\"\""},
      {"an at sign ends a sqlplus name", "p@ss", "p@ss", "\"p@ss\""},
      {"empty", "", "''", ""},
      {"an equals sign would make an assignment", "A=b", "'A=b'", "\"A=b\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ShellWord(c.value), c.shell);
    EXPECT_EQ(SqlplusWord(c.value, false), c.sqlplus);
  }
  EXPECT_EQ(SqlplusWord("/var/tmp/ebs-host/x.sql", true), "/var/tmp/ebs-host/x.sql");
  EXPECT_EQ(SqlplusWord("/var/tmp/my dir/x.sql", true), "\"/var/tmp/my dir/x.sql\"");
  EXPECT_FALSE(IsScriptSafe("a\nb"));
  EXPECT_FALSE(IsScriptSafe(std::string("a\0b", 3)));
  EXPECT_TRUE(IsScriptSafe("a\rb\t$`'\"\\"));
}

// The generated script run by sh, with a stand-in su (it records its arguments and runs what it
// reads with sh, as the owner's shell would) and the fake sqlplus: hostile values at every
// level arrive literally, and nothing in them is executed.
TEST(ExportScripts, HostileValuesArriveLiterallyThroughBothShells) {
  TempDir dir;
  const std::string hostile = "$HOME `id` $(touch pwned) 'q' \"d\" \\ ; & | # @ é ~ *";
  const std::string owner = "-own$er`id`";
  const std::string home = dir.file("home " + hostile);
  const std::string sid = "S$(touch pwned)'\"`id`";
  const std::string user = "us\"er " + hostile;
  const std::string password = "pa/ss " + hostile;
  const std::string tempDir = dir.file("tmp " + hostile);

  ASSERT_EQ(::mkdir(tempDir.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
  for (const char* sub : {"/bin", "/fake", "/fake/calls"})
    ASSERT_EQ(::mkdir((home + sub).c_str(), 0755), 0);
  WriteFile(home + "/bin/sqlplus",
            ReadFile(std::string(EBS_SOURCE_DIR) + "/tests/fake-oracle/bin/sqlplus"));
  ::chmod((home + "/bin/sqlplus").c_str(), 0755);
  ASSERT_EQ(RunProgram({"sqlite3", home + "/fake/context.db",
                        "CREATE TABLE fnd_oam_context_files(NAME, CTX_TYPE, TEXT);"
                        "INSERT INTO fnd_oam_context_files VALUES ('N', 'D', '<x/>');"}),
            0);
  WriteFile(home + "/fake/db_user", user);
  WriteFile(home + "/fake/db_password", password);
  ASSERT_EQ(::mkdir(dir.file("bin").c_str(), 0755), 0);
  WriteFile(dir.file("bin/su"), "#!/bin/sh\nprintf '%s\\0' \"$@\" > \"$SU_ARGS\"\nexec /bin/sh\n");
  ::chmod(dir.file("bin/su").c_str(), 0755);

  const std::string sqlScript = tempDir + "/" + kSqlScriptName;
  WriteFile(sqlScript, BuildSqlScript(tempDir));
  WriteFile(dir.file("script.sh"), BuildShellScript({owner, home, sid, sqlScript}, user, password));
  const std::string path = dir.file("bin") + ":" + std::getenv("PATH");
  ASSERT_EQ(RunProgram({"env", "PATH=" + path, "SU_ARGS=" + dir.file("su-args"), "sh", "-c",
                        "cd \"$1\" && sh ./script.sh > out.txt 2>&1", "sh", dir.path()}),
            0)
      << ReadFile(dir.file("out.txt"));

  EXPECT_EQ(ReadFile(dir.file("su-args")), std::string("--\0", 3) + owner + std::string(1, '\0'));
  std::vector<std::string> calls;
  for (const auto& e : std::filesystem::directory_iterator(home + "/fake/calls"))
    calls.push_back(e.path().string());
  ASSERT_EQ(calls.size(), 1u) << ReadFile(dir.file("out.txt"));
  const std::string rec = calls[0] + "/";
  EXPECT_EQ(ReadFile(rec + "argv"), std::string("/nolog\0", 7));
  EXPECT_EQ(ReadFile(rec + "login_user"), user);
  EXPECT_EQ(ReadFile(rec + "login_password"), password);
  EXPECT_EQ(ReadFile(rec + "script"), sqlScript);
  EXPECT_EQ(ReadFile(rec + "directory"), tempDir);
  EXPECT_EQ(ReadFile(rec + "outcome"), "exported") << ReadFile(dir.file("out.txt"));
  const std::string env = ReadFile(rec + "env");
  EXPECT_NE(env.find("\nORACLE_HOME=" + home + "\n"), std::string::npos) << env;
  EXPECT_NE(env.find("\nORACLE_SID=" + sid + "\n"), std::string::npos) << env;
  EXPECT_NE(env.find(":" + home + "/lib\n"), std::string::npos) << env;
  EXPECT_EQ(ReadFile(tempDir + "/" + kExportFileName), "N,D,<x/>\n\n");
  struct stat st {};
  EXPECT_NE(::lstat(dir.file("pwned").c_str(), &st), 0);
  EXPECT_NE(::lstat((home + "/pwned").c_str(), &st), 0);
}

}  // namespace
