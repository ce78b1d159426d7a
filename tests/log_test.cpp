// Logging: one intact line per call from many threads, levels, and that no password of a logged
// message text reaches the log, however deeply the text is escaped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "messages/redact.h"
#include "platform/host/host_config.h"
#include "platform/host/log.h"
#include "support/plugin.h"
#include "support/test_text.h"
#include "support/worker_access.h"

namespace {

const char* const kSecret = "Tr0ub4dor&3";

std::string RequestWithPassword(const std::string& password) {
  Hux::OraEBSReqResp request;
  auto login = View(request)
                   .child(Hux::OraEBSReqResp::ebsConfig, Create::Yes)
                   .child(Hux::OraEBSConfig::appTier, Create::Yes)
                   .child(Hux::OraEBSAppTier::databaseLogin, Create::Yes);
  login.set(UserCredentials::userName, "apps");
  login.set(UserCredentials::password, password);
  View(request).set(Hux::OraEBSReqResp::messageType, 99);
  return request.serialized();
}

// A password element written with `lt`/`gt` for its brackets.
std::string Pw(const std::string& lt, const std::string& gt, const std::string& secret) {
  return lt + "pw x=\"2\"" + gt + secret + lt + "/pw" + gt;
}

// The password of `text` is masked, not shown.
void ExpectMasked(const char* what, const std::string& text) {
  const std::string redacted = RedactPasswords(text);
  EXPECT_EQ(redacted.find(kSecret), std::string::npos) << what << ": " << redacted;
  EXPECT_NE(redacted.find("***"), std::string::npos) << what << ": " << redacted;
}

TEST(Redaction, PasswordsNeverSurviveAtAnyEscapingDepth) {
  const std::string s = kSecret;
  const std::string inner = RequestWithPassword(kSecret);
  const std::string once = Envelope(1, inner);
  const std::string twice = Envelope(1, once);
  const std::string base64 = Envelope(1, inner + "\x01");
  std::string base64Spelt = base64;  // read once more, it still says enc="base64"
  base64Spelt.replace(base64Spelt.find("base64"), 1, "&#98;");
  // Each row is a way the message reader (once or several times over) reads a password element.
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"a message text", inner},
      {"inside an envelope", once},
      {"two envelopes deep", twice},
      {"a password that needs base64", RequestWithPassword(s + "\x01")},
      {"inside CDATA",
       "<m g=\"22\" n=\"506\"><s x=\"2\"><![CDATA[" + Pw("<", ">", s) + "]]></s></m>"},
      {"escaped with a raw '>'", Pw("&lt;", ">", s)},
      {"decimal references", Pw("&#60;", "&#62;", s)},
      {"zero-padded decimal references", Pw("&#060;", "&#0000062;", s)},
      {"hexadecimal references", Pw("&#x3c;", "&#x3e;", s)},
      {"zero-padded upper-case hexadecimal", Pw("&#x003C;", "&#x00003E;", s)},
      {"mixed case", Pw("&#X3c;", "&GT;", s)},
      {"the name written as references", "&lt;&#112;&#x77; x=\"2\"&gt;" + s + "&lt;/pw&gt;"},
      {"two levels: &amp;lt;", Pw("&amp;lt;", "&amp;gt;", s)},
      {"two levels: &amp;#x3c;", Pw("&amp;#x3c;", "&amp;#x3e;", s)},
      {"two levels: '&' as a reference", Pw("&#38;lt;", "&#x26;#62;", s)},
      {"ten levels", Pw("&" + Repeat("amp;", 9) + "lt;", "&" + Repeat("amp;", 9) + "gt;", s)},
      {"an element without end", "<pw x=\"2\">" + s},
      {"a start tag without end", "<pw x=\"2\" " + s},
      {"an attribute value that never closes", "<pw x=\"2>" + s + "</pw>"},
      {"'/>' inside an attribute value", "<pw x=\"/>\">" + s + "</pw>"},
      {"an end tag inside a comment", "<pw x=\"2\"><!-- </pw> -->" + s + "</pw>"},
      {"an end tag inside CDATA", "<pw x=\"2\"><![CDATA[</pw>]]>" + s + "</pw>"},
      {"an end tag inside a processing instruction", "<pw x=\"2\"><?p </pw>?>" + s + "</pw>"},
      {"several in one line", inner + " and " + once},
  };
  for (const auto& c : cases) ExpectMasked(c.what, c.text);
  // A string the writer had to put in base64 hides the message it holds from the scan: the
  // message is written again, its password masked inside the base64.
  const std::string inBase64[] = {
      base64, Envelope(1, base64Spelt),  // "base64" spelt with a reference one level up
      "BASE64 " + base64,                // in another case elsewhere in the line
  };
  for (const std::string& text : inBase64) EXPECT_NE(RedactPasswords(text), text);
  // (Text escaped more often than the redaction looks: message_test's depth bound.)
  // Text around the password stays readable; other elements are untouched.
  EXPECT_NE(RedactPasswords(inner).find(">apps<"), std::string::npos);
  EXPECT_EQ(RedactPasswords("<pwd>keep</pwd> <s x=\"1\">pw</s> &amp;lt; &#60;p <pw x=\"1\"/>"),
            "<pwd>keep</pwd> <s x=\"1\">pw</s> &amp;lt; &#60;p <pw x=\"1\"/>");
  EXPECT_EQ(RedactPasswords("a " + Pw("&lt;", "&gt;", s) + " b"),
            "a &lt;pw x=\"2\"&gt;***&lt;/pw&gt; b");
  // Without any reference the text has one level, read as it stands.
  EXPECT_EQ(RedactPasswords("a " + Pw("<", ">", s) + " b <pw>" + s),
            "a <pw x=\"2\">***</pw> b <pw>***");
}

// A value that stands where the catalogue has a password (the login's field 2) is a password,
// whatever element carries it: the request it came in is refused for an empty password, and the
// value must not reach the log in its stead.
TEST(Redaction, AValueAtAPasswordsPlaceIsMaskedWhateverItsKind) {
  const std::string s = kSecret;
  // A login whose field 2 is `field`, in a request.
  const auto login = [](const std::string& field) {
    return "<m g=\"22\" n=\"505\"><i x=\"1\">2</i><o x=\"2\"><m g=\"22\" n=\"504\"><o x=\"4\">"
           "<m g=\"22\" n=\"503\"><o x=\"3\"><m g=\"20\" n=\"0\"><s x=\"1\">apps</s>" +
           field + "</m></o></m></o></m></o></m>";
  };
  Hux::OraEBSReqResp asList;
  View(asList)
      .child(Hux::OraEBSReqResp::ebsConfig, Create::Yes)
      .child(Hux::OraEBSConfig::dbTier, Create::Yes)
      .child(Hux::OraEBSDBTier::osUser, Create::Yes)
      .raw()
      .setstring(2, 5, s + "\x01", 0, 0);  // a string that the writer puts in base64
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"a string", login("<s x=\"2\">" + s + "</s>")},
      {"a string in CDATA", login("<s x=\"2\"><![CDATA[" + s + "]]></s>")},
      {"a string in base64, written again", asList.serialized() + " #"},
      {"a list of strings", login("<ls x=\"2\"><v>a</v><v>" + s + "</v></ls>")},
      {"a child message", login("<o x=\"2\"><m g=\"1\" n=\"1\"><s x=\"1\">" + s + "</s></m></o>")},
      {"a list of messages holding lists",
       login("<lo x=\"2\"><m g=\"1\" n=\"1\"><lo x=\"1\"></lo></m><m g=\"1\" n=\"1\"><s x=\"1\">" +
             s + "</s></m></lo>")},
      {"other attributes first, single quotes, blanks, leading zeros",
       login("<s id='1' n = '5'\n x = '002' >" + s + "</s>")},
      {"the class given with leading zeros, attributes swapped",
       "<m n=\"00\" g=\"020\"><s x=\"2\">" + s + "</s></m>"},
      {"the index as a reference", "<m g=\"20\" n=\"0\"><s x=\"&#50;\">" + s + "</s></m>"},
      {"inside an envelope", Envelope(2, login("<s x=\"2\">" + s + "</s>"))},
      {"two envelopes deep", Envelope(2, Envelope(2, login("<s x=\"2\">" + s + "</s>")))},
      {"after the login's field 1 spelt with '<' one level down",
       Envelope(2, "<m g=\"20\" n=\"0\"><s x=\"1\">a &lt; b</s><s x=\"2\">" + s + "</s></m>")},
      {"a field without end", login("<s x=\"2\">" + s)},
  };
  for (const auto& c : cases) ExpectMasked(c.what, c.text);
  // Field 2 of other classes, the login's other fields and a child login's own place are kept.
  const std::string kept[] = {
      "<m g=\"22\" n=\"422\"><i x=\"1\">520</i><s x=\"2\">message</s></m>",
      "<m g=\"20\" n=\"0\"><s x=\"1\">apps</s><s x=\"3\">other</s></m>",
      "<m g=\"20\" n=\"0\"><o x=\"1\"><m g=\"22\" n=\"422\"><s x=\"2\">x</s></m></o></m>",
      "<m g=\"20\" n=\"1\"><s x=\"2\">x</s></m>",
  };
  for (const std::string& text : kept) EXPECT_EQ(RedactPasswords(text), text);
}

// A message that may carry a string in base64 is written again with its passwords masked,
// however it was written; one that cannot is masked where it stands.
TEST(Redaction, MessagesThatMayHideAPasswordAreWrittenAgain) {
  const std::string request =
      "<?xml version=\"1.0\"?>\n<m g=\"20\" n=\"0\">\n <s x=\"1\">apps #1</s>\n"
      " <pw x=\"2\"><![CDATA[" +
      std::string(kSecret) + "]]></pw>\n</m>";
  EXPECT_EQ(RedactPasswords("Input XML [" + request + "]"),
            "Input XML [<m g=\"20\" n=\"0\"><s x=\"1\">apps #1</s><pw x=\"2\">***</pw></m>]");
  std::string plain = request;
  plain.erase(plain.find(" #1"), 3);
  std::string masked = plain;
  masked.replace(masked.find("<![CDATA["), 9 + std::string(kSecret).size() + 3, "***");
  EXPECT_EQ(RedactPasswords(plain), masked);
}

TEST(Logging, TheEntryPointNeverLogsTheDatabasePassword) {
  HostSandbox sandbox;
  CallPlugin(Envelope(1, RequestWithPassword(kSecret)));  // logged as input and answer
  CallPlugin(Envelope(2, RequestWithPassword(kSecret)));  // refused, answer logged
  CallPlugin("<m g=\"22\" n=\"506\"><s x=\"2\">" + RequestWithPassword(kSecret) + "</s>");
  // Envelopes written by hand with the forms the reader decodes, refused and accepted.
  const std::string inner = RequestWithPassword(kSecret);
  auto written = [&](const char* lt, const char* gt) {
    std::string text;
    for (char c : inner) text += c == '<' ? lt : c == '>' ? gt : std::string(1, c);
    return text;
  };
  CallPlugin("<m g=\"22\" n=\"506\"><s x=\"2\">" + written("&#060;", "&#x003E;") + "</s></m>");
  CallPlugin("<m g=\"22\" n=\"506\"><i x=\"1\">1</i><s x=\"2\">" + written("&#x3C;", "&#0062;") +
             "</s></m>");
  CallPlugin("<m g=\"22\" n=\"506\"><i x=\"1\">1</i><s x=\"2\">" + written("&#X3c;", ">") +
             "</s><q/></m>");
  const std::string log = sandbox.log();
  EXPECT_NE(log.find("Response XML"), std::string::npos);
  EXPECT_EQ(log.find(kSecret), std::string::npos);
}

// A request far larger than a log line: every line stays capped, and a password element cut off
// at the cap is masked to the end.
TEST(Logging, LinesAreCappedAndACutPasswordIsMasked) {
  HostSandbox sandbox;
  EvEvent context;
  std::string straddling(kMaxLogTextBytes - 20, 'b');
  straddling += "<pw x=\"2\">" + std::string(kSecret) + "</pw>" + std::string(100, 'c');
  EvDebug::Debug(context, "Cap", "%s", straddling.c_str());
  const std::string cut = LogLines(sandbox.log(), "Cap").at(0);
  EXPECT_EQ(cut.find("Tr0u"), std::string::npos) << cut.substr(kMaxLogTextBytes - 40);
  EXPECT_NE(cut.find("***"), std::string::npos);

  // Lengths about the short-line buffer and the cap, formatted from more than one argument: each
  // line holds exactly what was formatted, up to the cap, then says how much was cut.
  for (const size_t n :
       {size_t{1022}, size_t{1023}, size_t{1024}, size_t{5000}, kMaxLogTextBytes - 1,
        kMaxLogTextBytes, kMaxLogTextBytes + 2, size_t{1} << 20}) {
    const std::string whole = std::string(n - 2, 'd') + "42";
    EvDebug::Debug(context, "Sizes", "%s%d", whole.substr(0, n - 2).c_str(), 42);
    const std::vector<std::string> sized = LogLines(sandbox.log(), "Sizes");
    ASSERT_FALSE(sized.empty());
    EXPECT_EQ(sized.back(), n <= kMaxLogTextBytes
                                ? whole
                                : whole.substr(0, kMaxLogTextBytes) + "\xE2\x80\xA6[" +
                                      std::to_string(n - kMaxLogTextBytes) + " bytes cut]")
        << n;
  }

  // Escapes make a text that fits the cap longer than the cap: the line still ends before a
  // whole character, never inside one (each "\x01" takes four bytes, each euro sign three).
  const std::string controls(1001, '\x01');
  std::string euros;
  for (int i = 0; i < 21000; ++i) euros += "\xE2\x82\xAC";
  EvDebug::Debug(context, "Escaped", "%s%s", controls.c_str(), euros.c_str());
  std::string escaped;
  for (size_t i = 0; i < controls.size(); ++i) escaped += "\\x01";
  const size_t keptEuros = (kMaxLogTextBytes - escaped.size()) / 3;
  EXPECT_EQ(LogLines(sandbox.log(), "Escaped").at(0),
            escaped + euros.substr(0, 3 * keptEuros) + "\xE2\x80\xA6[" +
                std::to_string(3 * (21000 - keptEuros)) + " bytes cut]");

  // Through the entry point: a 20 MiB request that is not a message is logged, but not whole.
  const size_t before = sandbox.log().size();
  CallPlugin(std::string(20u << 20, '<'));
  EXPECT_LT(sandbox.log().size() - before, 4 * kMaxLogTextBytes);
}

// What happens to two log lines when EBS_HOST_LOG names `path`, in a child process that is
// ended after 5 s: its exit status, its standard error, and whether it ended in time.
struct Logged {
  bool exited = false;
  std::string stderrText;
};
Logged LogTwoLinesTo(const std::string& path, const std::string& stderrPath) {
  const pid_t child = fork();
  if (child == 0) {
    const int err = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, STDERR_FILENO);
    alarm(5);
    setenv("EBS_HOST_LOG", path.c_str(), 1);
    EvEvent context;
    EvDebug::Debug(context, "Sink", "first line");
    EvDebug::Error(context, "Sink", "second line");
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return {WIFEXITED(status) && WEXITSTATUS(status) == 0, ReadFile(stderrPath)};
}

// The log file is where another account may have planted something. Each row prepares the path;
// nothing may be written through it, the call must not hang, and standard error takes the lines
// after one line saying why.
TEST(Logging, APlantedLogFileIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to plant another user's file";
  HostSandbox sandbox;
  const std::string target = sandbox.dir().file("target"), path = sandbox.dir().file("log");
  int reader = -1;
  const struct {
    const char* what;
    std::function<void()> plant;
    const char* why;
  } cases[] = {
      {"a FIFO nobody reads", [&] { mkfifo(path.c_str(), 0666); }, "is not a regular file"},
      {"a FIFO with a reader",
       [&] { mkfifo(path.c_str(), 0666), reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK); },
       "is not a regular file"},
      {"a 0666 file of another user",
       [&] { WriteFile(path, ""), chmod(path.c_str(), 0666), chown(path.c_str(), 65534, 65534); },
       "belongs to user id 65534"},
      {"a symbolic link to our own file",
       [&] { WriteFile(target, ""), symlink(target.c_str(), path.c_str()); }, "is a symbolic link"},
      {"a second link to our own file",
       [&] { WriteFile(target, ""), link(target.c_str(), path.c_str()); }, "has 2 hard links"},
      {"a directory", [&] { mkdir(path.c_str(), 0777); }, "cannot be opened"},
      // A file of root's that is no log (EBS_HOST_LOG=/etc/passwd by mistake) stays untouched.
      {"a file that is not a log", [&] { WriteFile(path, "root:x:0:0:root:/root:/bin/bash\n"); },
       "is not a log of this program"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.plant();
    struct stat planted {};
    const std::string before =
        lstat(path.c_str(), &planted) == 0 && S_ISREG(planted.st_mode) ? ReadFile(path) : "";
    const Logged logged = LogTwoLinesTo(path, sandbox.dir().file("stderr"));
    EXPECT_TRUE(logged.exited) << "the call hung or failed";
    EXPECT_EQ(Count(logged.stderrText, "logging to standard error"), 1u) << logged.stderrText;
    EXPECT_TRUE(std::regex_search(
        logged.stderrText, std::regex(" ERROR \\d+ \\[Log\\] The log file " + path + " " + c.why)))
        << logged.stderrText;
    EXPECT_NE(logged.stderrText.find("[Sink] first line"), std::string::npos);
    EXPECT_NE(logged.stderrText.find("[Sink] second line"), std::string::npos);
    EXPECT_EQ(ReadFile(target), "");  // (also when there is no target)
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      EXPECT_EQ(ReadFile(path), before);
    }
    if (reader >= 0) {
      char byte;
      EXPECT_LE(read(reader, &byte, 1), 0);
      close(reader);
      reader = -1;
    }
    remove(path.c_str());
    remove(target.c_str());
  }
  // Root writes no log in a directory that another account could swap, nor creates one there.
  TempDir theirs;
  ASSERT_EQ(chown(theirs.path().c_str(), 65534, 65534), 0);
  const Logged refused = LogTwoLinesTo(theirs.file("log"), sandbox.dir().file("stderr"));
  EXPECT_NE(refused.stderrText.find(theirs.path() + " does not belong to root"), std::string::npos)
      << refused.stderrText;
  struct stat none {};
  EXPECT_NE(lstat(theirs.file("log").c_str(), &none), 0);
  // A regular file of our own is used, and one that is created is private.
  const Logged logged = LogTwoLinesTo(path, sandbox.dir().file("stderr"));
  EXPECT_TRUE(logged.exited);
  EXPECT_EQ(logged.stderrText, "");
  EXPECT_EQ(Count(ReadFile(path), " line\n"), 2u);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Logging, OneIntactLinePerCallFromManyThreads) {
  HostSandbox sandbox;
  constexpr int kThreads = 8, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      EvEvent context;
      const std::string payload(500, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i)
        EvDebug::Debug(context, "Worker", "thread %d line %d multi\nline %s", t, i,
                       payload.c_str());
    });
  }
  for (auto& th : threads) th.join();
  const std::vector<std::string> lines = Split(sandbox.log());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  const std::regex shape(
      R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z DEBUG \d+ \[Worker\] thread (\d) line \d+ multi\\nline ([a-h])+$)");
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line.substr(0, 120);
    EXPECT_EQ(m[2].str()[0], 'a' + std::stoi(m[1].str()));
  }
}

// The log's size is read once per request (or per line outside one) and the lines of a request
// are counted on it: a request of many lines still never takes the log past its bound.
TEST(Logging, ALogIsRotatedWithinARequestAndOutsideOne) {
  for (const bool inRequest : {true, false}) {
    HostSandbox sandbox;
    ScopedEnv bound("EBS_HOST_LOG_MAX_SIZE", "1000");
    std::optional<HostConfigScope> request;
    if (inRequest) request.emplace();
    EvEvent context;
    for (int i = 0; i < 40; ++i) EvDebug::Debug(context, "L", "line %d of a long request", i);
    EXPECT_LE(sandbox.log().size(), 1000u) << inRequest;
    EXPECT_NE(ReadFile(sandbox.logPath() + ".1").find("line"), std::string::npos) << inRequest;
  }
}

TEST(Logging, LevelsFilterLines) {
  HostSandbox sandbox;
  EvEvent context;
  ScopedEnv level("EBS_HOST_LOG_LEVEL", "error");
  EvDebug::Debug(context, "L", "hidden debug");
  EvDebug::Error(context, "L", "shown error");
  ScopedEnv off("EBS_HOST_LOG_LEVEL", "off");
  EvDebug::Error(context, "L", "hidden error");
  EXPECT_EQ(Count(sandbox.log(), "hidden"), 0u);
  EXPECT_TRUE(std::regex_search(sandbox.log(), std::regex(" ERROR \\d+ \\[L\\] shown error\n")));
}

}  // namespace
