// `ebs-host report --html FILE`: the fleet report (fleet_report.h) of every app of the store,
// opened read-only, whatever its backend.
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/file_io.h"
#include "base/text.h"
#include "commands.h"
#include "fleet_report.h"
#include "messages/redact.h"
#include "platform/host/host_config.h"
#include "private_file.h"
#include "svg_render.h"
#include "terminal_text.h"
#include "topology_dot.h"

namespace {

// Why no picture is drawn when no trusted `dot` is found; `untrusted`: the one refused, if any.
std::string NoDotNote(const std::string& untrusted) {
  return std::string("pictures need Graphviz's dot, which was not found: ") + kInstallGraphviz +
         (untrusted.empty() ? "" : " (one was found but not used: " + untrusted + ")");
}

// The app as the page shows it: its nodes, and its picture drawn when `drawPictures`, else
// `noPicture` in its place. Passwords never reach the picture.
FleetApp ReportedApp(ServerStore& store, const AppRecord& record, bool drawPictures,
                     const std::string& noPicture, Status& status) {
  FleetApp app;
  app.record = record;
  status = store.GetAppMetadata(record.id, app.metadata);
  Hux::OraEBSConfig config;
  config.unserialize(record.config);
  EmptyPasswords(config);
  app.record.config.clear();
  app.nodes = FleetNodes(View(config));
  if (!drawPictures) {
    app.pictureNote = noPicture;
    return app;
  }
  std::string error;
  switch (RenderSvg(TopologyDot(View(config)), app.svg, error)) {
    case SvgResult::kRendered:
      break;
    case SvgResult::kNoGraphviz:  // removed while the report was being made
    case SvgResult::kFailed:
      app.svg.clear();
      app.pictureNote = "the picture cannot be drawn: " + CutText(error, kMaxDotCauseBytes);
  }
  return app;
}

}  // namespace

int RunReport(const Global& g, const std::string& htmlFile) {
  const std::string help = "see ebs-host report --help";
  if (htmlFile.empty())
    return Fail(g, kUsage, "--html: give the FILE to write the page to", {}, -1, help);
  const bool toOutput = htmlFile == "-";
  if (toOutput && g.json)
    return Fail(g, kUsage,
                "--html - cannot be combined with --json: both would go to standard output; give "
                "--html a FILE, or drop --json",
                {}, -1, help);

  std::unique_ptr<ServerStore> store;
  if (int rc = OpenStoreReadOnly(g, store)) return rc;
  FleetReport report;
  report.generatedAt = UtcNow();
  report.backend = store                                                    ? store->Backend()
                   : ServerStore::IsPostgres(CurrentHostConfig().storePath) ? "postgresql"
                                                                            : "sqlite";
  std::vector<AppRecord> apps;
  if (store) {
    const Status s = store->ListApps(apps);
    if (!s.ok) return StoreFailed(g, s);
  }
  std::string untrusted;
  const bool haveDot = FindDotOnPath(&untrusted).fd.get() >= 0;
  if (!haveDot) report.picturesNote = NoDotNote(untrusted);
  for (const AppRecord& record : apps) {
    Status s;
    report.apps.push_back(ReportedApp(*store, record, haveDot, report.picturesNote, s));
    if (!s.ok) return StoreFailed(g, s);
  }
  const std::string html = FleetReportHtml(report);
  if (toOutput) return Emit(g, html);

  Result<UniqueFd> file = OpenPrivateFile(htmlFile, FileMode::Truncate);
  if (!file.ok())
    return Fail(g, kUnavailable, "cannot write the report", {file.status().message}, -1);
  const bool written = WriteAll(file->get(), html);
  if (::close(file->release()) != 0 || !written)
    return Fail(g, kUnavailable, "cannot write the report to " + htmlFile);

  const FleetSummary s = Summarise(report);
  // Why pictures are missing: Graphviz missing for all, else the first app's failure.
  std::string why = report.picturesNote;
  for (const FleetApp& app : report.apps)
    if (why.empty() && app.svg.empty()) why = app.pictureNote;
  if (g.json)
    return EmitJson(g,
                    {{"file", htmlFile},
                     {"backend", report.backend},
                     {"apps", s.apps},
                     {"savers", s.savers},
                     {"appsWithDrift", s.drifted},
                     {"nodesWithoutClient", s.nodesWithoutClient},
                     {"pictures",
                      {{"drawn", s.pictures},
                       {"notDrawn", s.apps - s.pictures},
                       {"why", why.empty() ? Json(nullptr) : Json(why)}}}},
                    kOk);
  std::string text = "Wrote the report of " + std::to_string(s.apps) + " app(s) to " +
                     Shown(htmlFile) + " (" + std::to_string(s.pictures) + " picture(s))\n";
  if (!why.empty()) text += "note: " + Shown(why) + "\n";
  return Emit(g, text);
}
