// HostServices: everything the worker asks of the host, behind one object, so that the worker
// can be given another host (a test's fakes) without root, accounts or a store. The worker
// reaches the process runner, the managing server's request channel, the client directory, the
// host's configuration, the platform's temporary directory and the process's user only through
// it. The worker reads no clock (the store stamps its own times), so there is none here.
//
// Every member is virtual and its default is the real stand-in (NqProcess, XMLHandler, NQClient,
// CurrentHostConfig, NQPI_Base, geteuid), as leveldb's Env is the real file system
// unless replaced: a fake derives from HostServices and overrides only what it fakes, and the
// rest stays real. DefaultHostServices() is the one real host, shared by every worker and thread;
// the stand-ins it calls are thread-safe, and so must a fake be that several workers share.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/host/host_config.h"
#include "platform/host/process.h"
#include "platform/server/client_directory.h"

// What the client directory knows of one client (NQClient's getClientId, getName, getHiveId).
struct ClientDirectoryEntry {
  unsigned long id = 0;
  std::string name;
  unsigned long hiveId = 0;
};

class HostServices {
 public:
  virtual ~HostServices() = default;

  // The process runner: NqProcess::Execute (see platform/host/process.h).
  virtual int Execute(const NqCommand& command, std::string* out, std::string* err);

  // The request channel: XMLHandler::handleXMLReq of the class `classId` (see
  // platform/server/request_channel.h); 0 or a ChannelResult, with the reply in `response`.
  virtual int SendServerRequest(unsigned long classId, std::string& request, std::string& response);

  // The client directory: the client known under the host name `key` (byHost) or named `key`.
  // An NQLookupResult; `entry` is filled only on kClientFound.
  virtual int LookupClient(const std::string& key, bool byHost, ClientDirectoryEntry* entry);

  // The host's configuration for the current request (CurrentHostConfig).
  virtual const HostConfig& Config();

  // The platform's temporary directory (NQPI_Base::getTesselTempDirectory).
  virtual std::string TempDirectory();

  // The effective user id of the process (geteuid): discovery switches to the Oracle owner only
  // from root.
  virtual uid_t EffectiveUid();
};

// The real host: every member as above.
HostServices& DefaultHostServices();
