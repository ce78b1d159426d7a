// Test support: the plug-in loaded with dlopen as the host loads it, request builders, and scoped
// environment and temporary directories for the host-service stand-ins.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "messages/catalogue.h"

// The plug-in, loaded once per test process from EBS_PLUGIN_PATH (set by the build).
struct PluginCall {
  int result = 0;
  std::string text;  // the answer text as the host receives it
  Hux::EnterpriseAppsReqResp envelope;
  int64_t errorCode = 0;
  std::string errorMessage;
  std::string inner;  // the answer's xmlString
};
PluginCall CallPlugin(const std::string& requestText);

// An envelope of application type `appType` around the inner text `inner`.
std::string Envelope(int64_t appType, const std::string& inner);
// The text of a Hux::OraEBSReqResp.
std::string InnerText(const Hux::OraEBSReqResp& request);

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_;
  std::string old_;
};

// A fresh private directory, removed with everything in it at the end of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
// The parts of `text` between separators (a trailing separator ends the last part).
std::vector<std::string> Split(const std::string& text, char separator = '\n');
void WriteFile(const std::string& path, const std::string& text);
// How often `what` stands in `text` (overlapping occurrences counted).
size_t Count(const std::string& text, const std::string& what);

// A live process of a process group: ended ones waiting to be reaped are not listed.
struct GroupMember {
  pid_t pid, parent;
};
std::vector<GroupMember> GroupMembers(pid_t pgid);
// The same for the session `sid`.
std::vector<GroupMember> SessionMembers(pid_t sid);

// Waits up to `seconds` for the child `pid` to end, its wait status in `status`; past that, kills
// `victim` (`pid` itself when 0) with SIGKILL, reaps `pid` and returns false.
bool ReapWithin(pid_t pid, int& status, int seconds, pid_t victim = 0);

// A sandbox for one test: its own temp dir, store, log file and (absent) instance table, set
// through the environment.
class HostSandbox {
 public:
  HostSandbox();
  const TempDir& dir() const { return dir_; }
  std::string tempDir() const { return dir_.file("tmp"); }
  std::string storePath() const { return dir_.file("store.db"); }
  std::string logPath() const { return dir_.file("host.log"); }
  std::string log() const { return ReadFile(logPath()); }

 private:
  TempDir dir_;
  ScopedEnv temp_, store_, log_, level_, oratab_;
};
