// `ebs-host report --html` end to end: a store with a hostile app and a drifted app with a node
// without a client, the page written, then opened in headless Chromium: its screenshot, and the
// DOM after load (no script element, the hostile name as text, the facts shown); and the page of
// a run that finds no Graphviz. Needs chromium and Graphviz's dot (skipped without them, with the
// reason). The screenshots stay in the test's working directory for people to look at:
// fleet_report_desktop.png (1200x900) and fleet_report_phone.png (390x844).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <tuple>
#include <utility>

#include "cli_host.h"
#include "platform/server/store.h"
#include "svg_render.h"

namespace {

const std::string kScript = "<script>alert(1)</script>";
const std::string kImg = "\"><img src=x onerror=alert(1)>";

// A configuration of one database node and one application node on these hosts, with these
// clients ("" for none).
std::string Config(const std::string& dbHost, const std::string& dbClient,
                   const std::string& appHost, const std::string& appClient) {
  Hux::OraEBSConfig config;
  auto cfg = View(config);
  auto db = cfg.child(Hux::OraEBSConfig::dbTier, Create::Yes)
                .list(Hux::OraEBSDBTier::dbNodes, Create::Yes)
                .append();
  db.set(Hux::OraEBSDBNode::hostName, dbHost);
  db.set(Hux::OraEBSDBNode::oracleHome, "/u01/oracle/19.0.0");
  db.child(Hux::OraEBSDBNode::client, Create::Yes)
      .set(NqEntities::ClientEntity::clientName, dbClient);
  auto app = cfg.child(Hux::OraEBSConfig::appTier, Create::Yes)
                 .list(Hux::OraEBSAppTier::appNodes, Create::Yes)
                 .append();
  app.set(Hux::OraEBSAppNode::hostName, appHost);
  if (!appClient.empty())
    app.child(Hux::OraEBSAppNode::client, Create::Yes)
        .set(NqEntities::ClientEntity::clientName, appClient);
  app.list(Hux::OraEBSAppNode::nodeTypes, Create::Yes) = {Hux::Batch, Hux::WebEntry};
  return config.serialized();
}

class FleetReportBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (NqProcess::run("command -v chromium", nullptr, nullptr, 10000) != 0)
      GTEST_SKIP() << "chromium is not installed (apt-get install chromium; ./run test does)";
    if (FindDotOnPath(nullptr).fd.get() < 0)
      GTEST_SKIP() << "Graphviz's dot is not installed (" << kInstallGraphviz << ")";
    std::unique_ptr<ServerStore> store;
    ASSERT_TRUE(ServerStore::Open(sandbox.storePath(), store).ok);
    int64_t hostile = 0, prod = 0;
    ASSERT_TRUE(
        store->SaveApp(kScript, 64, Config(kImg, "c1", kScript, "c2"), &hostile, nullptr).ok);
    ASSERT_TRUE(
        store->SaveApp("PROD", 64, Config("db01", "dbclient", "app02", ""), &prod, nullptr).ok);
    ASSERT_TRUE(store->SetAppMetadata(prod, {"PROD", "apps", "2026-12-06T09:00:00Z", "1.0.0"}).ok);
    ASSERT_TRUE(store->RecordDiff(prod, DriftCheck{"", true, 2, 1, 0, 5}).ok);
  }

  // Chromium's output for the page with `options` (its own profile and home, a time limit).
  std::string Chromium(const std::string& page, const std::string& options) {
    std::string out;
    const std::string profile = sandbox.dir().file("chromium");
    const int rc = NqProcess::run("HOME=" + profile +
                                      " timeout 60 chromium --headless --no-sandbox --disable-gpu "
                                      "--user-data-dir=" +
                                      profile + " " + options + " file://" + page + " 2>/dev/null",
                                  &out, nullptr, 90000);
    EXPECT_EQ(rc, 0) << options;
    return out;
  }

  // The width and height of the PNG `path`; {0, 0} when it is not one.
  static std::pair<uint32_t, uint32_t> PngSize(const std::string& path) {
    const std::string png = ReadFile(path);
    if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return {0, 0};
    const auto word = [&](size_t at) {
      uint32_t v = 0;
      for (size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(png[at + i]);
      return v;
    };
    return {word(16), word(20)};
  }

  HostSandbox sandbox;
};

TEST_F(FleetReportBrowser, PageShowsEveryAppAndRunsNothing) {
  const std::string page = sandbox.dir().file("fleet.html");
  const HostRun run = Host("--json report --html " + page);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const auto doc = OneDocument(run.out);
  EXPECT_EQ(doc["apps"], 2);
  EXPECT_EQ(doc["pictures"]["drawn"], 2);
  EXPECT_EQ(doc["appsWithDrift"], 1);
  EXPECT_EQ(doc["nodesWithoutClient"], 1);
  struct stat st {};
  ASSERT_EQ(::stat(page.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // As a desktop and a phone show it.
  for (const auto& [name, width, height] :
       {std::tuple<const char*, uint32_t, uint32_t>{"desktop", 1200, 900}, {"phone", 390, 844}}) {
    const std::string shot =
        (std::filesystem::current_path() / ("fleet_report_" + std::string(name) + ".png")).string();
    std::filesystem::remove(shot);
    Chromium(page, "--hide-scrollbars --window-size=" + std::to_string(width) + "," +
                       std::to_string(height) + " --screenshot=" + shot);
    EXPECT_EQ(PngSize(shot), std::make_pair(width, height)) << shot;
  }

  const std::string dom = Chromium(page, "--dump-dom");
  SCOPED_TRACE(dom);
  EXPECT_FALSE(std::regex_search(dom, std::regex("<script|<img src=\"?x", std::regex::icase)));
  EXPECT_NE(dom.find("<h2>&lt;script&gt;alert(1)&lt;/script&gt; <span"), std::string::npos);
  EXPECT_NE(dom.find("<h2>PROD <span"), std::string::npos);
  // The hostile host as text in the node table (the DOM writes the '=' back as it is).
  EXPECT_NE(dom.find("<td>\"&gt;&lt;img src=x onerror=alert(1)&gt;</td>"), std::string::npos);
  EXPECT_EQ(Count(dom, "no client</span>"), 1u);
  EXPECT_NE(dom.find("drift</span> 2 changed, 1 added, 0 removed (5 changes), checked at "),
            std::string::npos);
  EXPECT_NE(dom.find("SID PROD as apps at 2026-12-06T09:00:00Z"), std::string::npos);
  EXPECT_EQ(Count(dom, "<img src=\"data:image/svg+xml;base64,"), 2u);
}

TEST_F(FleetReportBrowser, WithoutGraphvizThePageSaysWhyOnceAndInEachPicturePlace) {
  const std::string page = sandbox.dir().file("fleet.html");
  const HostRun run = Host("report --html " + page, "PATH=/nonexistent");
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("note: pictures need Graphviz's dot"), std::string::npos) << run.out;
  const std::string dom = Chromium(page, "--dump-dom");
  SCOPED_TRACE(dom);
  EXPECT_EQ(
      Count(dom, "pictures need Graphviz's dot, which was not found: apt-get install graphviz"),
      3u);
  EXPECT_EQ(Count(dom, "<img"), 0u);
  EXPECT_NE(dom.find("<h2>PROD <span"), std::string::npos);
}

}  // namespace
