#include "svg_render.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <sstream>

#include "base/trusted_dir.h"
#include "discovery/temp_files.h"
#include "platform/host/host_config.h"
#include "platform/host/process.h"

namespace {

// A home for dot when the effective user has none: an empty directory of its own, made for one
// run and removed with whatever fontconfig put in it.
class PrivateHome {
 public:
  PrivateHome() {
    char name[] = "/tmp/ebs-host-home.XXXXXX";
    if (::mkdtemp(name)) path_ = name;
  }
  ~PrivateHome() {
    if (path_.empty()) return;
    std::string ignored;
    RemoveTreeAt(AT_FDCWD, path_, &ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

DotProgram FindDot(const std::string& searchPath, std::string* why) {
  std::istringstream dirs(searchPath);
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (dir.empty() || dir[0] != '/') continue;
    const std::string candidate = (dir == "/" ? "" : dir) + "/dot";
    bool refused = false;
    Result<TrustedFile> file = OpenTrustedFile(candidate, &refused);
    if (!file.ok()) {
      if (refused && why) *why = file.status().message;
      continue;
    }
    struct stat st {};
    if (::fstat(file->fd.get(), &st) != 0 || !(st.st_mode & S_IXUSR)) continue;
    return DotProgram{std::move(file->fd), candidate};
  }
  return DotProgram{};
}

DotProgram FindDotOnPath(std::string* why) {
  const char* path = std::getenv("PATH");
  return FindDot(path && *path ? path : "/usr/bin:/bin", why);
}

SvgResult RenderSvg(const std::string& dot, std::string& svg, std::string& error,
                    long timeoutMillis) {
  svg.clear();
  std::string untrusted;
  const DotProgram program = FindDotOnPath(&untrusted);
  if (program.fd.get() < 0) {
    error = "Graphviz's dot is not installed (" + std::string(kInstallGraphviz) + ")" +
            (untrusted.empty() ? "" : "; one was found but not used: " + untrusted);
    return SvgResult::kNoGraphviz;
  }
  NqCommand command;
  // Run under the name it was found by: Debian's dot is a link to a program that acts on the
  // name it is called by.
  command.argv = {program.path, "-Tsvg"};
  command.programFd = program.fd.get();
  // Fontconfig reads its configuration and keeps its cache under the home directory: the
  // effective user's own, never the caller's.
  std::string home = AccountHome(::geteuid());
  std::unique_ptr<PrivateHome> privateHome;
  if (home.empty()) {
    privateHome = std::make_unique<PrivateHome>();
    home = privateHome->path();
  }
  command.env = {"PATH=/usr/bin:/bin", "LANG=C.UTF-8"};
  if (!home.empty()) command.env.push_back("HOME=" + home);
  command.input = dot;
  command.timeoutMillis = timeoutMillis;
  std::string err;
  const int rc = NqProcess::Execute(command, &svg, &err);
  if (rc != 0) {
    svg.clear();
    while (!err.empty() && err.back() == '\n') err.pop_back();
    error = program.path + " -Tsvg failed (exit status " + std::to_string(rc) + ")" +
            (err.empty() ? "" : ": " + err);
    return SvgResult::kFailed;
  }
  if (svg.size() >= NqProcess::kMaxKeptBytes) {
    svg.clear();
    error = "the picture is larger than " + std::to_string(NqProcess::kMaxKeptBytes >> 20) +
            " MiB; --format dot gives the graph to render by other means";
    return SvgResult::kFailed;
  }
  return SvgResult::kRendered;
}
