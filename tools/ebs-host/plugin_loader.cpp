#include "plugin_loader.h"

#include <dlfcn.h>
#include <unistd.h>

PluginLoader::~PluginLoader() {
  if (handle_) dlclose(handle_);
}

bool PluginLoader::Load(const std::string& path, std::string& error) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* why = dlerror();
    error = why ? why : "dlopen failed";
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

std::string DefaultPluginPath() {
  if (access(EBS_DEFAULT_PLUGIN, R_OK) == 0) return EBS_DEFAULT_PLUGIN;
  return "/usr/lib/libEnterpriseApps.so";
}
