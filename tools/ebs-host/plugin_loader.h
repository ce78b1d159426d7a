// Loads the plug-in with dlopen, the way the platform's host process does, and calls its entry
// point. One object per process; not thread-safe.
#pragma once

#include <string>

class PluginLoader {
 public:
  ~PluginLoader();
  // False (with the reason in `error`) when the library cannot be loaded or lacks the entry point;
  // an empty `path` means that FindPlugin found none, and `error` says where it looked. The file
  // is judged by the rule of trusted_path.h and loaded from the descriptor that was judged
  // (dlopen of /proc/self/fd/N); one that breaks the rule is refused with the reason, unless
  // EBS_HOST_ALLOW_UNTRUSTED_PLUGIN=1 (plugin_locator.h).
  bool Load(const std::string& path, std::string& error);
  // Calls OnMsgEnterpriseApps on `text` in place; returns its result.
  int Call(std::string& text) const;

 private:
  void* handle_ = nullptr;
  int (*entry_)(std::string&) = nullptr;
};
