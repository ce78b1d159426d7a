// The entry point and the request dispatch, through the plug-in loaded as the host loads it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "support/plugin.h"

namespace {

// A request of message type `type` (none when `typed` is false) for release `version`.
Hux::OraEBSReqResp Request(int64_t type, const std::string& version = "", bool typed = true) {
  Hux::OraEBSReqResp request;
  if (typed) View(request).set(Hux::OraEBSReqResp::messageType, type);
  if (!version.empty())
    View(request)
        .child(Hux::OraEBSReqResp::ebsConfig, Create::Yes)
        .set(Hux::OraEBSConfig::appsVersion, version);
  return request;
}

TEST(EntryPoint, RefusalsCarryErrorCodeOneAndTheirMessages) {
  HostSandbox sandbox;
  const std::string inner = Request(5).serialized();
  // An inner text of megabytes, moved through the refusal: it comes back exactly.
  std::string large;
  while (large.size() < (3u << 20))
    large += "<pw x=\"1\">s3cret</pw> &amp; \xC3\xA9 \xF0\x9D\x84\x9E ";
  struct Case {
    const char* what;
    std::string request;
    std::string message;
    std::string innerBack;
  } cases[] = {
      {"not a message at all", "garbage <<<",
       "App type is not set for EnterpriseAppsReqResp message", ""},
      // Envelopes of one field: the inner text (2), the application type (1).
      {"no application type, though an inner text", "<m g=\"22\" n=\"506\"><s x=\"2\">a</s></m>",
       "App type is not set for EnterpriseAppsReqResp message", ""},
      {"no inner text", "<m g=\"22\" n=\"506\"><i x=\"1\">1</i></m>",
       "XML string is not set for EnterpriseApsReqResp message", ""},
      {"PeopleSoft", Envelope(2, inner),
       "PeopleSoft Enterprise Application type is not supported yet!", inner},
      {"PeopleSoft, a large inner text", Envelope(2, large),
       "PeopleSoft Enterprise Application type is not supported yet!", large},
      {"type 3", Envelope(3, inner), "Unknown Enterprise Application type", inner},
      {"negative type", Envelope(-7, inner), "Unknown Enterprise Application type", inner},
      {"a type beyond 32 bits is read by its low 32 bits", Envelope((1LL << 32) + 2, inner),
       "PeopleSoft Enterprise Application type is not supported yet!", inner},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PluginCall call = CallPlugin(c.request);
    EXPECT_EQ(call.result, -1);
    EXPECT_EQ(call.errorCode, 1);
    EXPECT_EQ(call.errorMessage, c.message);
    EXPECT_TRUE(call.inner == c.innerBack);  // not printed: it may be megabytes
    EXPECT_TRUE(View(call.envelope).isSet(Hux::EnterpriseAppsReqResp::xmlString));
  }
  EXPECT_NE(sandbox.log().find("[::OnMsgEnterpriseApps] Unknown Enterprise Application type [-7]"),
            std::string::npos);
}

TEST(EntryPoint, EbsRequestsReachTheWorker) {
  HostSandbox sandbox;
  // A missing message type: 520, inner text exactly as given.
  const std::string noTypeText = "  " + Request(0, "12.2.9", false).serialized() + "\n";
  PluginCall call = CallPlugin(Envelope(1, noTypeText));
  EXPECT_EQ(call.result, 0);
  EXPECT_EQ(call.errorCode, 520);
  EXPECT_EQ(call.errorMessage, "Invalid XML, message type is not set");
  EXPECT_EQ(call.inner, noTypeText);

  // Message types that name no operation: no error, the request comes back re-serialised.
  for (int64_t type : {0, 3, 7, 9, 1000, -1}) {
    SCOPED_TRACE(type);
    const Hux::OraEBSReqResp request = Request(type, "12.2.9");
    call = CallPlugin(Envelope(1, "\n" + request.serialized()));
    EXPECT_EQ(call.result, 0);
    EXPECT_EQ(call.errorCode, 0);
    EXPECT_EQ(call.errorMessage, "");
    EXPECT_EQ(call.inner, request.serialized());
  }

  // An inner text that is not a message reads as a request without a message type.
  call = CallPlugin(Envelope(1, "<m g=\"22\" n=\"505\"><i x=\"1\">2</i>"));
  EXPECT_EQ(call.errorCode, 520);
  EXPECT_EQ(call.errorMessage, "Invalid XML, message type is not set");
  const std::string log = sandbox.log();
  EXPECT_NE(log.find("[ProcessXMLReq] Enter"), std::string::npos);
  EXPECT_NE(log.find("[ProcessXMLReq] Invalid XML, message type is not set"), std::string::npos);
}

// Threads calling at once, accepted and refused requests mixed: each gets its own answer back.
TEST(EntryPoint, ConcurrentCallsAreIndependent) {
  HostSandbox sandbox;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 50; ++i) {
        const std::string inner =
            Request(100 + t, "thread " + std::to_string(t) + " call " + std::to_string(i))
                .serialized();
        const bool accepted = i % 3 != 0;  // application type 1; 2 is refused
        PluginCall call = CallPlugin(Envelope(accepted ? 1 : 2, inner));
        if (call.result != (accepted ? 0 : -1) || call.errorCode != (accepted ? 0 : 1) ||
            call.inner != inner)
          ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
