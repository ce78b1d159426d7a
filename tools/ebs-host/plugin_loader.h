// Loads the plug-in with dlopen, the way the platform's host process does, and calls its entry
// point. One object per process; not thread-safe.
#pragma once

#include <string>

#include "base/status.h"

class PluginLoader {
 public:
  ~PluginLoader();
  // An error when the library cannot be loaded or lacks the entry point; an empty `path` means
  // that FindPlugin found none, and the error says where it looked. The file is judged by the
  // rule of base/trusted_dir.h (OpenTrustedFile) and loaded from the descriptor that was judged
  // (dlopen of /proc/self/fd/N); one that breaks the rule is refused with the reason, unless
  // EBS_HOST_ALLOW_UNTRUSTED_PLUGIN=1 (plugin_locator.h).
  Status Load(const std::string& path);
  // Calls OnMsgEnterpriseApps on `text` in place; returns its result.
  int Call(std::string& text) const;

 private:
  void* handle_ = nullptr;
  int (*entry_)(std::string&) = nullptr;
};
