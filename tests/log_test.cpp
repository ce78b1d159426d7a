// Logging: one intact line per call from many threads, levels, and that no password of a logged
// message text reaches the log, however deeply the text is escaped.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>

#include "platform/log.h"
#include "platform/redact.h"
#include "support/plugin.h"

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

TEST(Redaction, PasswordsNeverSurviveAtAnyEscapingDepth) {
  const std::string inner = RequestWithPassword(kSecret);
  const std::string once = Envelope(1, inner);
  const std::string twice = Envelope(1, once);
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"a message text", inner},
      {"inside an envelope", once},
      {"two envelopes deep", twice},
      {"a password that needs base64", RequestWithPassword(std::string(kSecret) + "\x01")},
      {"written by hand in CDATA", "<m g=\"22\" n=\"506\"><s x=\"2\"><![CDATA[<pw x=\"2\">" +
                                       std::string(kSecret) + "</pw>]]></s></m>"},
      {"escaped by hand with a raw '>'", "&lt;pw x=\"2\">" + std::string(kSecret) + "&lt;/pw>"},
      {"numeric character references",
       "&#60;pw x=\"2\"&#62;" + std::string(kSecret) + "&#60;/pw&#62;"},
      {"an unterminated element", "<pw x=\"2\">" + std::string(kSecret)},
      {"several in one line", inner + " and " + once},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string redacted = RedactPasswords(c.text);
    EXPECT_EQ(redacted.find(kSecret), std::string::npos) << redacted;
    EXPECT_NE(redacted.find("***"), std::string::npos);
  }
  // Text around the password stays readable; other elements are untouched.
  EXPECT_NE(RedactPasswords(inner).find(">apps<"), std::string::npos);
  EXPECT_EQ(RedactPasswords("<pwd>keep</pwd> <s x=\"1\">pw</s>"),
            "<pwd>keep</pwd> <s x=\"1\">pw</s>");
}

TEST(Logging, TheEntryPointNeverLogsTheDatabasePassword) {
  HostSandbox sandbox;
  CallPlugin(Envelope(1, RequestWithPassword(kSecret)));  // logged as input and answer
  CallPlugin(Envelope(2, RequestWithPassword(kSecret)));  // refused, answer logged
  CallPlugin("<m g=\"22\" n=\"506\"><s x=\"2\">" + RequestWithPassword(kSecret) + "</s>");
  const std::string log = sandbox.log();
  EXPECT_NE(log.find("Response XML"), std::string::npos);
  EXPECT_EQ(log.find(kSecret), std::string::npos);
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

TEST(Logging, LevelsFilterLines) {
  HostSandbox sandbox;
  EvEvent context;
  {
    ScopedEnv level("EBS_HOST_LOG_LEVEL", "error");
    EvDebug::Debug(context, "L", "hidden debug");
    EvDebug::Error(context, "L", "shown error");
  }
  {
    ScopedEnv level("EBS_HOST_LOG_LEVEL", "off");
    EvDebug::Error(context, "L", "hidden error");
  }
  const std::string log = sandbox.log();
  EXPECT_EQ(log.find("hidden"), std::string::npos);
  EXPECT_NE(log.find("ERROR"), std::string::npos);
  EXPECT_NE(log.find("shown error"), std::string::npos);
}

}  // namespace
