// The texts of discovery: reading the instance table and the export file (and their bounds), and
// the generated scripts, including a run of the shell script through a stand-in su and the fake sqlplus.
#include <gtest/gtest.h>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "discovery/export_file.h"
#include "discovery/export_scripts.h"
#include "discovery/oratab.h"
#include "base/file_at.h"
#include "base/text.h"
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

// Names of context files and log lines are cut to a length, never inside a UTF-8 character.
TEST(CutText, KeepsWholeCharactersAndCountsTheRest) {
  const std::string euro = "\xE2\x82\xAC", emoji = "\xF0\x9F\x98\x80";
  const struct {
    const char* what;
    std::string text;
    size_t maxBytes;
    std::string want;
  } cases[] = {
      {"a text that fits is unchanged", "abcd", 4, "abcd"},
      {"an empty text", "", 0, ""},
      {"plain bytes are cut at the length", "abcdef", 4, "abcd\xE2\x80\xA6[2 bytes cut]"},
      {"a cut after a whole character keeps it", "ab" + euro + "c", 5,
       "ab" + euro + "\xE2\x80\xA6[1 bytes cut]"},
      {"a cut inside a 3-byte character leaves it all out", "ab" + euro, 4,
       "ab\xE2\x80\xA6[3 bytes cut]"},
      {"a cut inside a 4-byte character leaves it all out", "a" + emoji + "b", 4,
       "a\xE2\x80\xA6[5 bytes cut]"},
      {"a character at the very start may go whole", emoji, 2, "\xE2\x80\xA6[4 bytes cut]"},
      // Not UTF-8: the cut moves back three bytes at most, so something is kept.
      {"a run of continuation bytes", "ab" + std::string(8, '\x80'), 6,
       "ab\x80\xE2\x80\xA6[7 bytes cut]"},
  };
  for (const auto& c : cases) EXPECT_EQ(CutText(c.text, c.maxBytes), c.want) << c.what;
}

// Bytes this process has read so far (rchar of /proc/self/io).
uint64_t BytesRead() {
  const std::string io = ReadFile("/proc/self/io");
  const size_t at = io.find("rchar: ");
  return at == std::string::npos ? 0 : std::stoull(io.substr(at + 7));
}

// The bound is exact: a file of its size is read, one byte more is refused. A file over it is
// refused by its size before a byte is read, unless the caller keeps what can be read (the
// instance table): then the first bytes up to the bound are kept.
TEST(ReadRegularFile, TheBoundIsExactAndAFileOverItIsNotRead) {
  constexpr size_t kBound = 1u << 20;
  TempDir dir;
  const struct {
    const char* what;
    size_t size;  // of a file of "x" bytes; over 16 MiB a sparse one (zero bytes)
    bool keepPartial;
    bool read;    // read whole, not refused
    size_t kept;  // bytes of content afterwards
  } cases[] = {
      {"exactly the bound", kBound, false, true, kBound},
      {"one byte over it", kBound + 1, false, false, 0},
      {"far over it", size_t{1} << 30, false, false, 0},
      {"exactly the bound, kept", kBound, true, true, kBound},
      {"one byte over it, kept up to the bound", kBound + 1, true, false, kBound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.file("file");
    if (c.size > (16u << 20)) {
      WriteFile(path, "");
      ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(c.size)), 0);
    } else {
      WriteFile(path, std::string(c.size, 'x'));
    }
    FileRead file;
    const uint64_t before = BytesRead();
    const Status s =
        ReadRegularFileAt(AT_FDCWD, path.c_str(), kBound, &file, {false, "", c.keepPartial});
    EXPECT_EQ(s.ok, c.read);
    const uint64_t read = BytesRead() - before;
    EXPECT_EQ(file.content.size(), c.kept);
    EXPECT_EQ(file.content.find_first_not_of('x'), std::string::npos);
    if (!c.read) {
      EXPECT_EQ(s.message, path + " is larger than 1048576 bytes");
    }
    // Refused by its size: nothing read (but /proc/self/io itself).
    if (!c.keepPartial && !c.read) {
      EXPECT_LT(read, 4096u);
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
            "su -s /bin/sh oracle << 'EOF_MAIN' \n"
            "export ORACLE_HOME=/u01/db\n"
            "export ORACLE_SID=PROD\n"
            "export LD_LIBRARY_PATH=/u01/db/lib\n"
            "/u01/db/bin/sqlplus /nolog << 'EOF' \n"
            "SET DEFINE OFF\n"
            "WHENEVER SQLERROR EXIT FAILURE\n"
            "WHENEVER OSERROR EXIT FAILURE\n"
            "CONNECT apps/apps\n"
            "@/var/tmp/ebs-host/NqEBSFetchContext.sql\n"
            "EOF\n"
            "EOF_MAIN\n");
  // A leading "-" of the owner is no option of su; no login is a lone slash; a script path with
  // a blank is quoted for sqlplus.
  const std::vector<std::string> lines =
      Split(BuildShellScript({"-own$er", "/d", "S", "/my dir/x.sql"}, "", ""));
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[0], "su -s /bin/sh -- '-own$er' << 'EOF_MAIN' ");
  EXPECT_EQ(lines[8], "CONNECT /");
  EXPECT_EQ(lines[9], "@\"/my dir/x.sql\"");
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
  for (const auto& c : cases)
    EXPECT_EQ(SqlplusErrorLines(c.output, "S3cret-pw"), c.want) << c.what;
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
      {"ORA-01017 for apps/S3cret@db", "S3cret", "ORA-01017 for apps/***@db"},
      {"S3cretS3cret S3cre", "S3cret", "****** S3cre"},
      {"a*b**", "*", "a***b******"},  // the mask itself holds the secret: no endless loop
      {"nothing to hide", "", "nothing to hide"},
  };
  for (const auto& c : cases) EXPECT_EQ(MaskSecret(c.text, c.secret), c.want) << c.text;
}

}  // namespace
