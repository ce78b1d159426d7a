// Which plug-in library ebs-host loads, and the version the library file carries. Free functions
// over the file system; thread-safe as long as nobody changes the environment concurrently.
//
// The plug-in is, in this order: the --plugin option; $EBS_HOST_PLUGIN; the installed plug-in at
// its place relative to this program's own real location (read from /proc/self/exe, never from
// argv[0], PATH or the working directory), so that any installation prefix works; and the
// build tree's library when this program is the build tree's. The installed one is taken only
// when it and every directory above it belong to root or to this program's user and no other
// account can write them: root runs ebs-host, and a library that another account can swap would
// run with root's rights.
#pragma once

#include <string>
#include <vector>

struct PluginChoice {
  std::string path;                 // the library to load; "" when none was found
  std::string source;               // "--plugin", "EBS_HOST_PLUGIN", "installed" or "build tree"
  std::vector<std::string> passed;  // a line per place looked at in vain, with why
};

// `option` is the --plugin value ("" when not given).
PluginChoice FindPlugin(const std::string& option);

// The version in the library file's version mark, e.g. "1.0.0"; "" when the file cannot be read
// or carries no mark. Reads at most the first 256 MiB of the file.
std::string PluginVersion(const std::string& path);

// The version line of ebs-host --version: "ebs-host 1.0.0, plug-in 1.0.0 at PATH", or what is
// wrong with the plug-in in place of its version.
std::string VersionLine(const PluginChoice& plugin);
