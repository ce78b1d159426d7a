// The texts of discovery: the instance table, the export file and the generated scripts, and
// the lines taken from sqlplus's output.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "discovery/export_file.h"
#include "discovery/export_scripts.h"
#include "discovery/oratab.h"
#include "support/plugin.h"
#include "support/test_text.h"

namespace {

TEST(Oratab, LinesBecomeEntries) {
  const std::string longHome = "/u01/" + std::string(5000, 'h');
  // Records as "kind|sid|home|text": E an entry, S a starred one, I an invalid line.
  const struct {
    const char* what;
    std::string text;
    std::vector<std::string> want;
  } cases[] = {
      {"flag or not, the line end is not part of the home",
       "PROD:/u01/db:N\nTEST:/u02/db\n",
       {"E|PROD|/u01/db|", "E|TEST|/u02/db|"}},
      {"nor is a carriage return before it", "PROD:/u01/db\r\n", {"E|PROD|/u01/db|"}},
      {"a last line without a line end", "PROD:/u01/db", {"E|PROD|/u01/db|"}},
      {"a SID and a colon lack a home", "PROD:\n", {"I|||PROD"}},
      {"a line without a colon is invalid, logged whole", "  just text\n", {"I|||just text"}},
      {"colons only", ":::\n", {"I|||"}},
      {"comments, blank and empty lines are no records", "# PROD:/x:N\n\n \t \n\t# c\n\r\n", {}},
      {"indented entries are read", " \tPROD:/u01/db:N\n", {"E|PROD|/u01/db|"}},
      {"runs of colons and a leading colon separate like one",
       ":PROD:::/u01/db::N\n",
       {"E|PROD|/u01/db|"}},
      {"a starred SID is marked",
       "*:/u01/db:N\n*PROD:/u01/db:N\n",
       {"S|*|/u01/db|", "S|*PROD|/u01/db|"}},
      {"a line longer than any buffer stays one line",
       "PROD:" + longHome + ":N\n",
       {"E|PROD|" + longHome + "|"}},
      {"blanks inside fields are kept", "PROD :/u01/my db :N\n", {"E|PROD |/u01/my db |"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> got;
    for (const OratabLine& l : ParseOratab(c.text))
      got.push_back(std::string(1, "EIS"[static_cast<int>(l.kind)]) + "|" + l.sid + "|" + l.home +
                    "|" + l.text);
    EXPECT_EQ(got, c.want) << c.what;
  }
}

TEST(ExportFile, LinesSplitIntoNameTypeAndContext) {
  // Records as "name|type|context".
  const struct {
    const char* what;
    std::string text;
    std::vector<std::string> want;
  } cases[] = {
      {"records each followed by an empty line",
       "A,D,<a/>\n\nB,APPL,<b/>\n\n",
       {"A|D|<a/>", "B|APPL|<b/>"}},
      {"commas in the context stay in it", "A,D,<a x='1,2'>,</a>\n\n", {"A|D|<a x='1,2'>,</a>"}},
      {"carriage returns are kept", "A,D,<a>\r</a>\r\n\n", {"A|D|<a>\r</a>\r"}},
      {"empty lines only", "\n\n\n", {}},
      {"a one-byte line is skipped", "x\n", {}},
      {"a two-byte line without a comma is name, type and context", "ab\n", {"ab|ab|ab"}},
      {"one comma: the rest is both type and context", "N,<x/>\n", {"N|<x/>|<x/>"}},
      {"empty name and type", ",,<x/>\n", {"||<x/>"}},
      {"a last line without a line feed", "A,D,<a/>", {"A|D|<a/>"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> got;
    for (const ExportRecord& r : ParseExport(c.text))
      got.push_back(std::string(r.name) + "|" + std::string(r.type) + "|" + std::string(r.context));
    EXPECT_EQ(got, c.want) << c.what;
  }
}

// The PL/SQL script points the directory object at the run directory (a quote in its path
// doubled inside the SQL literal) and writes the records of the export file in the form that
// ParseExport reads: NAME,CTX_TYPE,TEXT with TEXT's line feeds made blanks, then two line feeds.
TEST(ExportScripts, SqlScriptExportsIntoTheRunDirectoryInTheFormRead) {
  const std::vector<std::string> lines = Split(BuildSqlScript("/tmp/it's"));
  EXPECT_EQ(lines.front(), "CREATE OR REPLACE DIRECTORY CONTEXT_OUPUT_DIR AS '/tmp/it''s';");
  const std::string script = BuildSqlScript("/tmp/x");
  // (The fake sqlplus of the root tests accepts only the script's exact SELECT and file name.)
  EXPECT_NE(script.find("utl_file.put_line(Lv_file, '\n'); "), std::string::npos);
  EXPECT_EQ(lines.back(), "/ ");
  EXPECT_EQ(script.back(), '\n');
}

// Both here-documents have quoted delimiters, so that the shell that runs the script as root
// expands nothing of the values; the password travels on a CONNECT line, never a command line.
// A leading "-" of the owner is no option of su; no login is a lone slash; a script path with a
// blank is quoted for sqlplus.
TEST(ExportScripts, ShellScriptQuotesItsHereDocumentsAndValues) {
  const std::vector<std::string> lines =
      Split(BuildShellScript({"-own$er", "/d", "S", "/my dir/x.sql"}, "", ""));
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[0], "su -s /bin/sh -- '-own$er' << 'EOF_MAIN' ");
  EXPECT_EQ(lines[4], "/d/bin/sqlplus /nolog << 'EOF' ");
  EXPECT_EQ(lines[6], "WHENEVER SQLERROR EXIT FAILURE");
  EXPECT_EQ(lines[8], "CONNECT /");
  EXPECT_EQ(lines[9], "@\"/my dir/x.sql\"");
  EXPECT_EQ(Split(BuildShellScript({"oracle", "/d", "S", "/x.sql"}, "apps", "pw"))[8],
            "CONNECT apps/pw");
}

TEST(ExportScripts, QuotingOnlyWhereNeeded) {
  const struct {
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
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ShellWord(c.value), c.shell);
    EXPECT_EQ(SqlplusWord(c.value, false), c.sqlplus);
  }
  EXPECT_FALSE(IsScriptSafe("a\nb"));
  EXPECT_FALSE(IsScriptSafe(std::string("a\0b", 3)));
  EXPECT_TRUE(IsScriptSafe("a\rb\t$`'\"\\"));
}

// The ERROR lines taken from sqlplus's output. (A pure function: its cuts and hints are tested
// here, not through su and the fake sqlplus, whose output reaches the log as it is.)
TEST(ExportScripts, SqlplusErrorLinesAreCutMaskedAndExplained) {
  const std::string e = "\xC3\xA9";  // two bytes
  const struct {
    const char* what;
    std::string output;
    std::vector<std::string> want;
  } cases[] = {
      {"a logon error, from its code on, with its hint",
       "\nSQL*Plus: Release 19\n\nERROR:\nORA-01017: invalid username/password; logon denied\n",
       {"ORA-01017: invalid username/password; logon denied (wrong database user or password)"}},
      {"an overlong line is cut before a character that would not fit, then explained",
       "ORA-12541: " + Repeat(e, 300) + "\n",
       {"ORA-12541: " + Repeat(e, 194) + " (no listener: is the database listener running?)"}},
      {"the password masked, trailing blanks and carriage returns dropped",
       "x SP2-0306: Invalid option for apps/S3cret-pw@db \r\n",
       {"SP2-0306: Invalid option for apps/***@db"}},
      {"the codes of the instance and of a failed write",
       "ORA-01034: ORACLE not available\nERROR at line 1:\nORA-29285: file write error\n",
       {"ORA-01034: ORACLE not available (the database instance is not running)",
        "ORA-29285: file write error (the database could not write the export; is the disk "
        "full?)"}},
      {"no more than ten lines", Repeat("ORA-00001: x\n", 12),
       std::vector<std::string>(10, "ORA-00001: x")},
      {"no code, no line", "Connected.\nDisconnected\n", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(SqlplusErrorLines(c.output, "S3cret-pw"), c.want) << c.what;
}

// sqlplus output is logged with the password masked wherever it shows, also when the password
// is part of the mask or of itself repeated.
// The environment of "sh -s" and su, which run as root in the run directory, a directory of the
// Oracle owner: every directory on PATH is absolute (an empty entry or "." would be the run
// directory) and can be changed by root only, so no command name resolves to a file of
// another account.
TEST(ExportScripts, RootsPathHoldsOnlyRootsDirectories) {
  std::string path;
  for (const std::string& entry : ExportEnvironment())
    if (entry.rfind("PATH=", 0) == 0) path = entry.substr(5);
  ASSERT_FALSE(path.empty());
  for (const std::string& dir : Split(path + ":", ':')) {
    SCOPED_TRACE("[" + dir + "]");
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir[0], '/');
    struct stat st {};
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 022, 0u);
  }
}

TEST(ExportScripts, MaskSecretHidesEveryOccurrence) {
  const struct {
    std::string text, secret, want;
  } cases[] = {
      {"S3cretS3cret S3cre", "S3cret", "****** S3cre"},
      {"a*b**", "*", "a***b******"},  // the mask itself holds the secret: no endless loop
      {"nothing to hide", "", "nothing to hide"},
  };
  for (const auto& c : cases) EXPECT_EQ(MaskSecret(c.text, c.secret), c.want) << c.text;
}

}  // namespace
