// Test support for ebs-host: runs the built program (EBS_HOST_TOOL) through the shell with extra
// environment assignments, reads its --json output, and makes the configurations that `save`
// takes. Not thread-safe; tests run it in turn.
#pragma once

#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <string>

#include "discovery/export_scripts.h"
#include "platform/host/process.h"
#include "support/plugin.h"

struct HostRun {
  int status;
  std::string out, err;
};

// `env`: shell assignments put before the program, e.g. "EBS_HOST_STORE=/x".
inline HostRun Host(const std::string& args, const std::string& env = "") {
  HostRun r;
  r.status =
      NqProcess::run(env + " " + ShellWord(EBS_HOST_TOOL) + " " + args, &r.out, &r.err, 60000);
  return r;
}

// The same on a terminal that `script` gives it: what it wrote there comes back in `out`. `args`
// may end with shell redirections.
inline HostRun HostOnTerminal(const std::string& args, const std::string& env = "") {
  const std::string command = ShellWord(EBS_HOST_TOOL) + " " + args;
  HostRun r;
  r.status = NqProcess::run(env + " script -qec " + ShellWord(command) + " /dev/null", &r.out,
                            &r.err, 60000);
  return r;
}

// The one JSON document of `out`; null (discarded) when it is not exactly one.
inline nlohmann::json OneDocument(const std::string& out) {
  return nlohmann::json::parse(out, nullptr, false);
}

// A request that any plug-in refuses (an unknown application type): exit status 1 once loaded.
inline std::string UnknownTypeRequest(const TempDir& dir, size_t innerBytes = 0) {
  const std::string file = dir.file("request.xml");
  WriteFile(file, Envelope(7, "<m g=\"22\" n=\"505\"><s x=\"9\">" + std::string(innerBytes, 'x') +
                                  "</s></m>"));
  return file;
}

// A `dot` for the tests: a shell script in `dir`, both mode 0755.
inline void FakeDot(const TempDir& dir, const std::string& body, mode_t mode = 0755) {
  WriteFile(dir.file("dot"), "#!/bin/sh\n" + body + "\n");
  ::chmod(dir.file("dot").c_str(), mode);
  ::chmod(dir.path().c_str(), 0755);
}

// A configuration as `discover --xml` prints it: one database node on db01 with client
// `dbClient` and one application node on `appHost` with client `appClient` (none when empty),
// whose service kinds repeat as the answer keeps them, and a database login with a password.
inline std::string Discovered(const std::string& dbClient, const std::string& appHost,
                              const std::string& appClient = "") {
  Hux::OraEBSReqResp answer;
  View(answer).set(Hux::OraEBSReqResp::messageType, 2);
  auto cfg = View(answer).child(Hux::OraEBSReqResp::ebsConfig, Create::Yes);
  cfg.set(Hux::OraEBSConfig::appsVersion, "12.2.10");
  auto db = cfg.child(Hux::OraEBSConfig::dbTier, Create::Yes)
                .list(Hux::OraEBSDBTier::dbNodes, Create::Yes)
                .append();
  db.set(Hux::OraEBSDBNode::hostName, "db01");
  db.child(Hux::OraEBSDBNode::client, Create::Yes)
      .set(NqEntities::ClientEntity::clientName, dbClient);
  auto tier = cfg.child(Hux::OraEBSConfig::appTier, Create::Yes);
  tier.child(Hux::OraEBSAppTier::databaseLogin, Create::Yes)
      .set(UserCredentials::password, "login-secret");
  auto app = tier.list(Hux::OraEBSAppTier::appNodes, Create::Yes).append();
  app.set(Hux::OraEBSAppNode::hostName, appHost);
  app.child(Hux::OraEBSAppNode::client, Create::Yes)
      .set(NqEntities::ClientEntity::clientName, appClient);
  app.list(Hux::OraEBSAppNode::nodeTypes, Create::Yes) = {Hux::Batch, Hux::WebEntry, Hux::Batch};
  return answer.serialized();
}
