#include "plugin_loader.h"

#include <dlfcn.h>

#include "plugin_locator.h"

PluginLoader::~PluginLoader() {
  if (handle_) dlclose(handle_);
}

bool PluginLoader::Load(const std::string& path, std::string& error) {
  if (path.empty()) {  // dlopen would give this program itself
    error = "no plug-in found; name one with --plugin or EBS_HOST_PLUGIN";
    for (const std::string& place : FindPlugin("").passed) error += "\n  looked at " + place;
    return false;
  }
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
