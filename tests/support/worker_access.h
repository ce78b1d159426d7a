// Test access to the worker: its request message, log lines by label, the realistic context
// files of tests/testdata and a store with clients registered.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/server/store.h"
#include "support/plugin.h"
#include "worker/NqEBSInterface.h"

class NqEBSInterfaceTest {
 public:
  static Hux::OraEBSReqResp& Request(NqEBSInterface& worker) { return worker.request; }
};

// The texts of the log lines written with `label`, in order.
inline std::vector<std::string> LogLines(const std::string& log, const std::string& label) {
  std::vector<std::string> out;
  const std::string tag = "[" + label + "] ";
  for (const std::string& line : Split(log)) {
    const size_t at = line.find(tag);
    if (at != std::string::npos) out.push_back(line.substr(at + tag.size()));
  }
  return out;
}

inline std::string TestData(const std::string& name) {
  return ReadFile(std::string(EBS_SOURCE_DIR) + "/tests/testdata/" + name);
}

// Registers a client in the sandbox's store.
inline void AddClient(const HostSandbox& sandbox, const std::string& name,
                      const std::vector<std::string>& hosts, int64_t hiveId, int64_t id = 0) {
  std::unique_ptr<ServerStore> store;
  Status s = ServerStore::Open(sandbox.storePath(), store);
  if (s.ok) s = store->AddClient(name, hosts, hiveId, id, nullptr);
  if (!s.ok) throw std::runtime_error(s.message);
}
