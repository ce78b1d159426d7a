// Test support for ebs-host: runs the built program (EBS_HOST_TOOL) through the shell with extra
// environment assignments, and reads its --json output. Not thread-safe; tests run it in turn.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "platform/process.h"

inline std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct HostRun {
  int status;
  std::string out, err;
};

// `env`: shell assignments put before the program, e.g. "EBS_HOST_STORE=/x".
inline HostRun Host(const std::string& args, const std::string& env = "") {
  HostRun r;
  r.status = NqProcess::run(env + " " + Quote(EBS_HOST_TOOL) + " " + args, &r.out, &r.err, 60000);
  return r;
}

// The one JSON document of `out`; null (discarded) when it is not exactly one.
inline nlohmann::json OneDocument(const std::string& out) {
  return nlohmann::json::parse(out, nullptr, false);
}
