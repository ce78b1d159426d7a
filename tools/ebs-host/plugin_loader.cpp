#include "plugin_loader.h"

#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "plugin_locator.h"
#include "trusted_path.h"

PluginLoader::~PluginLoader() {
  if (handle_) dlclose(handle_);
}

bool PluginLoader::Load(const std::string& path, std::string& error) {
  if (path.empty()) {  // dlopen would give this program itself
    error = "no plug-in found; name one with --plugin or EBS_HOST_PLUGIN";
    for (const std::string& place : FindPlugin("").passed) error += "\n  looked at " + place;
    return false;
  }
  // Judged once, then loaded from the descriptor that was judged, never from the path again.
  TrustedFile file = OpenTrustedFile(path);
  if (file.fd.get() < 0 && !file.refused) {
    error = file.why;
    return false;
  }
  if (file.fd.get() < 0) {
    if (!UntrustedPluginAllowed()) {
      error = "refusing to load " + path + ": " + file.why +
              "; root loads only a plug-in that no other account can change: keep it in a "
              "directory that only root can write (or set " +
              kAllowUntrustedPlugin + "=1 to load it anyway, for development)";
      return false;
    }
    file.fd.reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.fd.get() < 0) {
      error = "cannot open " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  const std::string opened = DescriptorPath(file.fd.get());
  handle_ = dlopen(opened.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* why = dlerror();
    error = why ? why : "dlopen failed";
    // dlopen names the descriptor; the person knows the file by its path.
    for (size_t at; (at = error.find(opened)) != std::string::npos;)
      error.replace(at, opened.size(), path);
    return false;
  }
  entry_ = reinterpret_cast<int (*)(std::string&)>(dlsym(handle_, "OnMsgEnterpriseApps"));
  if (!entry_) {
    error = path + " does not export OnMsgEnterpriseApps";
    return false;
  }
  return true;
}

int PluginLoader::Call(std::string& text) const { return entry_(text); }
