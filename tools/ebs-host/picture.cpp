#include "picture.h"

#include "base/text.h"
#include "svg_render.h"
#include "topology_dot.h"

namespace {

int NoGraphviz(const Global& g, const std::string& why) {
  return Fail(
      g, kUnavailable, "--format svg needs Graphviz's dot, which is not installed",
      {"install it with: " + std::string(kInstallGraphviz) + (why.empty() ? "" : " (" + why + ")"),
       "or take the graph as text with --format dot"});
}

}  // namespace

bool IsPicture(const std::string& format) { return format == "dot" || format == "svg"; }

int CheckFormat(const Global& g, const std::string& format) {
  if (!IsPicture(format)) return kOk;
  if (g.json || g.xml) {
    const std::string other = g.json ? "--json" : "--xml";
    return Fail(g, kUsage,
                "--format " + format + " cannot be combined with " + other + ": drop " + other +
                    " for the picture, or --format for the " +
                    (g.json ? "JSON document" : "message text"));
  }
  if (format == "svg") {
    std::string why;
    if (FindDotOnPath(&why).fd.get() < 0) return NoGraphviz(g, why);
  }
  return kOk;
}

int EmitPicture(const Global& g, const std::string& format, Msg<Hux::OraEBSConfig> config) {
  std::string dot = TopologyDot(config);
  if (format == "dot") return Emit(g, dot);
  std::string svg, error;
  switch (RenderSvg(dot, svg, error)) {
    case SvgResult::kRendered:
      return Emit(g, svg);
    case SvgResult::kNoGraphviz:
      return NoGraphviz(g, "");
    case SvgResult::kFailed:
      break;
  }
  return Fail(g, kUnavailable, "the picture cannot be rendered", {CutText(error, kMaxDotCauseBytes)});
}
