// Which plug-in library ebs-host loads, and the version the library file carries. Free functions
// over the file system; thread-safe as long as nobody changes the environment concurrently.
//
// The plug-in is, in this order: the --plugin option; $EBS_HOST_PLUGIN; the installed plug-in at
// its place relative to this program's own real location (read from /proc/self/exe, never from
// argv[0], PATH or the working directory), so that any installation prefix works; and the
// build tree's library when this program is the build tree's. Whichever it is, it is loaded only
// by the rule of base/trusted_dir.h (PluginLoader::Load): it, every directory above it and every link
// on the way belong to root or to this program's user and no other account can write them: root
// runs ebs-host, and a library that another account can swap would run with root's rights. An
// installed one that breaks the rule is passed over for the build tree's. Only
// EBS_HOST_ALLOW_UNTRUSTED_PLUGIN=1 (a developer's tree of another account, say) loads a named
// plug-in that breaks it.
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

// The variable whose value 1 lets Load take a plug-in that breaks the rule.
inline constexpr const char* kAllowUntrustedPlugin = "EBS_HOST_ALLOW_UNTRUSTED_PLUGIN";
bool UntrustedPluginAllowed();

// The version in the library file's version mark, e.g. "1.0.0"; "" when the file cannot be read
// or carries no mark. Reads at most the first 256 MiB of the file (the descriptor is read with
// pread, its offset unchanged).
std::string PluginVersion(const std::string& path);
std::string PluginVersion(int fd);

// The version line of ebs-host --version: "ebs-host 1.0.0, plug-in 1.0.0 at PATH", or what is
// wrong with the plug-in in place of its version.
std::string VersionLine(const PluginChoice& plugin);
