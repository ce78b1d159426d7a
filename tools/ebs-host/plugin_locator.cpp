#include "plugin_locator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/file_io.h"
#include "base/trusted_dir.h"
#include "ebs_version.h"

// Set by tools/ebs-host/CMakeLists.txt: where the installed plug-in is relative to the installed
// program's directory, and where this build put both.
#ifndef EBS_PLUGIN_FROM_BINDIR
#error "EBS_PLUGIN_FROM_BINDIR: the plug-in relative to the installed program's directory"
#endif

namespace {

// `relative` (leading "../" only) from the directory `dir`, which has no links or dots in it.
std::string Beside(std::string dir, std::string relative) {
  for (; relative.rfind("../", 0) == 0; relative.erase(0, 3)) dir = Directory(dir);
  return (dir == "/" ? "" : dir) + "/" + relative;
}

}  // namespace

PluginChoice FindPlugin(const std::string& option) {
  PluginChoice choice;
  if (!option.empty()) {
    choice.path = option;
    choice.source = "--plugin";
    return choice;
  }
  const char* named = std::getenv("EBS_HOST_PLUGIN");
  if (named && *named) {
    choice.path = named;
    choice.source = "EBS_HOST_PLUGIN";
    return choice;
  }
  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) {
    choice.passed.push_back("this program's location: /proc/self/exe cannot be read");
    return choice;
  }
  const std::string program(exe, static_cast<size_t>(n));
  const std::string installed = Beside(Directory(program), EBS_PLUGIN_FROM_BINDIR);
  // Judged here to choose; PluginLoader::Load judges it again as it opens what it loads.
  bool refused = false;
  const Result<TrustedFile> file = OpenTrustedFile(installed, &refused);
  if (file.ok()) {
    choice.path = file->resolved;
    choice.source = "installed";
    return choice;
  }
  choice.passed.push_back(refused ? installed + ": refused, " + file.status().message
                                  : installed + ": not there");
#if defined(EBS_BUILD_HOST) && defined(EBS_BUILD_PLUGIN)
  char build[PATH_MAX];
  if (::realpath(EBS_BUILD_HOST, build) && program == build) {
    choice.path = EBS_BUILD_PLUGIN;
    choice.source = "build tree";
  }
#endif
  return choice;
}

std::string PluginVersion(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  return PluginVersion(fd.get());
}

std::string PluginVersion(int fd) {
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return "";
  // Read in blocks, keeping the last bytes of the previous block so that a mark across a block
  // boundary is found whole; a version is at most kLongest bytes before its terminating NUL.
  static constexpr size_t kBlock = size_t{1} << 20, kLimit = size_t{256} << 20, kLongest = 64;
  const std::string prefix = EBS_VERSION_MARK_PREFIX;
  const size_t keep = prefix.size() + kLongest;
  std::string window;
  for (size_t total = 0; total < kLimit;) {
    const size_t kept = window.size();
    window.resize(kept + kBlock);
    const ssize_t got = pread(fd, &window[kept], kBlock, static_cast<off_t>(total));
    window.resize(kept + (got > 0 ? static_cast<size_t>(got) : 0));
    if (got < 0 && errno == EINTR) continue;
    const bool last = got <= 0;
    total += last ? 0 : static_cast<size_t>(got);
    for (size_t at = window.find(prefix); at != std::string::npos;
         at = window.find(prefix, at + 1)) {
      const size_t begin = at + prefix.size();
      const size_t end = window.find('\0', begin);
      if (end != std::string::npos && end - begin <= kLongest && end > begin)
        return window.substr(begin, end - begin);
      if (end == std::string::npos && window.size() - at < keep && !last) break;  // read on
    }
    if (last) break;
    window.erase(0, window.size() > keep ? window.size() - keep : 0);
  }
  return "";
}

std::string VersionLine(const PluginChoice& plugin) {
  std::string line = "ebs-host " EBS_VERSION ", ";
  if (plugin.path.empty()) return line + "no plug-in found";
  // What Load would load: the file judged by the rule, else what an explicit allowance takes.
  bool refused = false;
  Result<TrustedFile> file = OpenTrustedFile(plugin.path, &refused);
  UniqueFd fd;
  if (file.ok())
    fd = std::move(file->fd);
  else if (refused && UntrustedPluginAllowed())
    fd.reset(open(plugin.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0)
    return line + "plug-in at " + plugin.path + " " +
           (refused ? "refused: " + file.status().message : "cannot be read");
  const std::string version = PluginVersion(fd.get());
  if (!version.empty()) return line + "plug-in " + version + " at " + plugin.path;
  return line + "plug-in at " + plugin.path + " carries no version mark";
}

bool UntrustedPluginAllowed() {
  const char* allow = std::getenv(kAllowUntrustedPlugin);
  return allow && std::string(allow) == "1";
}
