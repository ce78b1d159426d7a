#include "plugin_loader.h"

#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "base/file_io.h"
#include "base/trusted_dir.h"
#include "plugin_locator.h"

PluginLoader::~PluginLoader() {
  if (handle_) dlclose(handle_);
}

Status PluginLoader::Load(const std::string& path) {
  if (path.empty()) {  // dlopen would give this program itself
    std::string error = "no plug-in found; name one with --plugin or EBS_HOST_PLUGIN";
    for (const std::string& place : FindPlugin("").passed) error += "\n  looked at " + place;
    return Status::Error(error);
  }
  // Judged once, then loaded from the descriptor that was judged, never from the path again.
  bool refused = false;
  Result<TrustedFile> trusted = OpenTrustedFile(path, &refused);
  UniqueFd fd;
  if (trusted.ok()) {
    fd = std::move(trusted->fd);
  } else if (!refused) {
    return trusted.status();
  } else if (!UntrustedPluginAllowed()) {
    return Status::Error("refusing to load " + path + ": " + trusted.status().message +
                         "; root loads only a plug-in that no other account can change: keep it "
                         "in a directory that only root can write (or set " +
                         kAllowUntrustedPlugin + "=1 to load it anyway, for development)");
  } else {
    fd.reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return Status::Error("cannot open " + path + ": " + std::strerror(errno));
  }
  const std::string opened = DescriptorPath(fd.get());
  handle_ = dlopen(opened.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* why = dlerror();
    std::string error = why ? why : "dlopen failed";
    // dlopen names the descriptor; the person knows the file by its path.
    for (size_t at; (at = error.find(opened)) != std::string::npos;)
      error.replace(at, opened.size(), path);
    return Status::Error(error);
  }
  entry_ = reinterpret_cast<int (*)(std::string&)>(dlsym(handle_, "OnMsgEnterpriseApps"));
  if (!entry_) return Status::Error(path + " does not export OnMsgEnterpriseApps");
  return Status::Ok();
}

int PluginLoader::Call(std::string& text) const { return entry_(text); }
