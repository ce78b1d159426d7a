// The --format option of `discover` and `apps show`: "text" (the readable summary, the default),
// "dot" (the topology as a Graphviz graph, topology_dot.h) or "svg" (that graph rendered by
// Graphviz's dot, svg_render.h). The picture goes where every output goes (cli.h: standard output
// or the --output file). Main thread only, like the rest of cli.h.
#pragma once

#include <string>
#include <vector>

#include "cli.h"
#include "messages/catalogue.h"

inline const std::vector<std::string> kFormats = {"text", "dot", "svg"};

// Whether `format` asks for a picture (dot or svg).
bool IsPicture(const std::string& format);

// Checked before any work: a picture with --json or --xml is a usage error (exit 2) naming which
// option to drop; svg without a usable `dot` is exit 3 saying how to get it. kOk otherwise.
int CheckFormat(const Global& g, const std::string& format);

// Prints the picture of `config` in `format` (dot or svg). kOk, or exit 3 printed when dot
// fails or the output cannot be written.
int EmitPicture(const Global& g, const std::string& format, Msg<Hux::OraEBSConfig> config);
