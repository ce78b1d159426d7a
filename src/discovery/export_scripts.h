// The two generated scripts of the context export, as pure functions over their values (no
// file access; thread-safe).
//
// The PL/SQL script makes the database dump fnd_oam_context_files into the export file of the
// run directory. The shell script switches to the Oracle owner with su, sets the Oracle
// environment and runs sqlplus on the PL/SQL script; any SQL or OS error makes sqlplus exit
// with a failure status (WHENEVER ... EXIT FAILURE). Every inserted value arrives literally at
// su, at the owner's shell and at sqlplus: both here-documents have quoted delimiters, so nothing
// in them is expanded by the shell that runs the script, and values are quoted for the owner's
// shell and for sqlplus only where they hold characters that would otherwise mean something.
// The database password travels inside the here-document (sqlplus /nolog and a CONNECT line),
// never on a command line. Values must not hold a line feed or NUL byte (see IsScriptSafe).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"

inline constexpr const char* kSqlScriptName = "NqEBSFetchContext.sql";
inline constexpr const char* kExportFileName = "NqEBSContext.out";
inline constexpr const char* kDiscoveryLockName = "NqEBSDiscover.lock";
// Of a line of sqlplus's output, no more than this reaches an ERROR line, and whole characters.
inline constexpr size_t kMaxShownLineBytes = 400;

struct ShellScriptValues {
  std::string oracleUser;
  std::string dbHome;
  std::string oracleSid;
  std::string sqlScriptPath;
};

// The PL/SQL export script, each line ended by a line feed; line 1 names `tempDir`.
std::string BuildSqlScript(const std::string& tempDir);

// The values that go into the scripts, checked before either is written.
struct ScriptValuesToCheck {
  std::string_view dbHome, oracleSid, oracleUser, tempDir, dbUser, dbPassword;
};

// Whether every value can be put into a script line (IsScriptSafe), and the database login is
// neither empty (operating-system authentication to sqlplus) nor holds a double quote (which
// cannot be quoted for it). The error names the first value that cannot.
Status CheckScriptValues(const ScriptValuesToCheck& values);

// The shell script, given to "sh -s" on standard input; the caller wipes the result, which holds
// the password.
std::string BuildShellScript(const ShellScriptValues& values, const std::string& dbUser,
                             const std::string& dbPassword);

// The whole environment of "sh -s" and su, which run as root: PATH=/usr/bin:/bin and LANG=C,
// nothing of the host's and nothing of the Oracle home (a library the owner puts in <home>/lib
// must never be loaded by root). The Oracle variables are set by the script after su, in the
// owner's shell only.
std::vector<std::string> ExportEnvironment();

// The lines of sqlplus's output (standard output and error) that the log shows at error level:
// every line holding an ORA- or SP2- code, from the code on, at most 10; `secret` masked; cut to
// 400 bytes before a character that would not fit; trailing blanks and carriage returns dropped;
// a hint added for well-known codes (a wrong login, no listener, the instance down, a failed
// write).
std::vector<std::string> SqlplusErrorLines(std::string_view output, const std::string& secret);

// `text` with every occurrence of `secret` replaced by "***".
std::string MaskSecret(std::string text, const std::string& secret);

// False for a value that cannot be put into a script line: one holding a line feed or NUL.
bool IsScriptSafe(std::string_view value);

// One word for a POSIX shell: as it is when it holds only characters without meaning to the
// shell, otherwise in single quotes.
std::string ShellWord(std::string_view value);

// One name, password or file name for sqlplus: as it is when plain, otherwise in double quotes
// with an inner double quote doubled. `fileName` allows the characters of a plain path.
std::string SqlplusWord(std::string_view value, bool fileName);
