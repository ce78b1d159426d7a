// The fleet report's page, built from values an instance or another host chose: nothing of them
// may become markup, a script, an event or a load; and the facts it sums up must be right.
#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "fleet_report.h"
#include "platform/message/base64.h"
#include "support/plugin.h"

namespace {

const std::string kScript = "<script>alert(1)</script>";
const std::string kImg = "\"><img src=x onerror=alert(1)>";

TEST(FleetReport, HtmlTextEscapesMarkupControlsAndBadUtf8) {
  const struct {
    std::string in, out;
  } rows[] = {
      {kScript, "&lt;script&gt;alert(1)&lt;/script&gt;"},
      // Ends no attribute, and no attribute name is followed by '=' any more.
      {kImg, "&quot;&gt;&lt;img src&#61;x onerror&#61;alert(1)&gt;"},
      {"</style>", "&lt;/style&gt;"},
      {"a'b`c&d", "a&#39;b&#96;c&amp;d"},
      // Controls and a bidirectional override visible, as the terminal output shows them.
      {"x\x1b[31my\n\x01\x7f", "x\\e[31my\\n\\x01\\x7f"},
      {"\xE2\x80\xAE"
       "evil",
       "\\u202eevil"},
      {"\xC2\x85", "\\u0085"},  // C1 NEL
      // A byte that is not UTF-8, and an overlong slash, each replaced; good UTF-8 kept.
      {"a\xFF"
       "b\xC0\xAF",
       "a\xEF\xBF\xBD"
       "b\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"caf\xC3\xA9 \xE2\x9C\x93", "caf\xC3\xA9 \xE2\x9C\x93"},
  };
  for (const auto& row : rows) EXPECT_EQ(HtmlText(row.in), row.out) << row.in;
}

FleetApp App(int64_t id, const std::string& name, std::vector<FleetNode> nodes) {
  FleetApp app;
  app.record.id = id;
  app.record.name = name;
  app.record.updatedAt = "2026-12-06T10:00:00Z";
  app.nodes = std::move(nodes);
  return app;
}

// Two apps: one whose every value is hostile and whose picture carries a script, one with a node
// without a client and a drift recorded.
FleetReport Fleet() {
  FleetReport report;
  report.generatedAt = "2026-12-07T05:00:00Z";
  report.backend = "postgresql";
  FleetApp hostile = App(1, kScript,
                         {{"database", kImg, "</style>" + kScript, 7, 0},
                          {"application", "app\x1b]0;x\x07", kImg, 8, 2}});
  hostile.record.savedBy = kImg;
  hostile.metadata = AppMetadata{kScript, kImg, "\xFF", "1.0"};
  hostile.svg =
      "<svg xmlns=\"http://www.w3.org/2000/svg\"><script>alert(1)</script>"
      "<image href=\"https://example.invalid/x.png\"/></svg>";
  report.apps.push_back(hostile);
  FleetApp drifted =
      App(2, "PROD", {{"database", "db01", "dbclient", 3, 0}, {"application", "app02", "", 0, 0}});
  drifted.record.lastDiff = DriftCheck{"2026-12-06T18:00:00Z", true, 2, 1, 0, 5};
  drifted.pictureNote = kScript;
  report.apps.push_back(drifted);
  return report;
}

TEST(FleetReport, HostileValuesNeverBecomeMarkupScriptsOrLoads) {
  const std::string page = FleetReportHtml(Fleet());
  // The page without the picture's base64 (which may hold any letters), for the searches.
  const std::string html =
      std::regex_replace(page, std::regex("base64,[A-Za-z0-9+/=]*"), "base64,");
  // One policy that forbids scripts and loads, and the one style it lets run.
  EXPECT_NE(html.find("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src "
                      "'none'; style-src 'unsafe-inline'; img-src data:;"),
            std::string::npos);
  EXPECT_EQ(Count(html, "<style>"), 1u);
  EXPECT_EQ(Count(html, "</style>"), 1u);
  for (const std::regex& forbidden :
       {std::regex("<script", std::regex::icase), std::regex("<img src=x"),
        std::regex("\\bon[a-z]+\\s*=", std::regex::icase), std::regex("https?://"),
        std::regex("<foreignObject", std::regex::icase), std::regex("\x1b|\x07|\xFF")})
    EXPECT_FALSE(std::regex_search(html, forbidden)) << html;
  // The hostile name is there as text, in the heading and the index.
  EXPECT_NE(html.find("<h2>&lt;script&gt;alert(1)&lt;/script&gt; <span"), std::string::npos);
  EXPECT_NE(html.find("\">&lt;script&gt;alert(1)&lt;/script&gt;</a></li>"), std::string::npos);
  // The picture only as an image of a data: URI, the SVG intact inside it.
  EXPECT_EQ(Count(html, "<img "), 1u);
  const std::smatch img = [&] {
    std::smatch m;
    std::regex_search(page, m,
                      std::regex("<img src=\"data:image/svg\\+xml;base64,([A-Za-z0-9+/=]*)\""));
    return m;
  }();
  ASSERT_FALSE(img.empty());
  std::string svg;
  ASSERT_TRUE(Base64Decode(img[1], svg));
  EXPECT_EQ(svg, Fleet().apps[0].svg);
}

TEST(FleetReport, SummaryAndEachAppSayWhatTheStoreHolds) {
  FleetReport report = Fleet();
  report.picturesNote =
      "pictures need Graphviz's dot, which was not found: apt-get install graphviz";
  EXPECT_EQ(Summarise(report).savers, (std::vector<std::string>{kImg, kUnknownSaver}));
  const std::string html = FleetReportHtml(report);
  for (const char* fact : {
           "from the postgresql store",                  // backend, no location
           "<dt>Apps</dt><dd>2</dd>",                    //
           "<dt>Apps with drift</dt><dd>1</dd>",         //
           "<dt>Nodes without a client</dt><dd>1</dd>",  //
           "<i>unknown</i>",                             // PROD's saver
           "Graphviz&#39;s dot, which was not found",    // once at the top
           "&#9888; no client</span>",                   // a badge with words, not a colour
           "drift</span> 2 changed, 1 added, 0 removed (5 changes), checked at 2026-12-06T18:00",
           "<i>never checked</i>",                          // the hostile app
           "<i>not recorded</i>",                           // PROD's discovery
           "dbclient <span class=\"id\">(id 3, domain 0)",  //
           "@media print",                                  //
           "name=\"viewport\"",                             //
       })
    EXPECT_NE(html.find(fact), std::string::npos) << fact;
  EXPECT_EQ(Count(html, "no client</span>"), 1u);
  EXPECT_LT(html.find("id=\"app-1\""), html.find("id=\"app-2\""));
}

}  // namespace
