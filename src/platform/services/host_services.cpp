#include "platform/services/host_services.h"

#include <unistd.h>

#include "platform/host/temp_dir.h"
#include "platform/server/request_channel.h"

int HostServices::Execute(const NqCommand& command, std::string* out, std::string* err) {
  return NqProcess::Execute(command, out, err);
}

int HostServices::SendServerRequest(unsigned long classId, std::string& request,
                                    std::string& response) {
  XMLHandler channel;
  return channel.handleXMLReq(kRequestChannelVersion, classId, request, response, "", 0);
}

int HostServices::LookupClient(const std::string& key, bool byHost, ClientDirectoryEntry* entry) {
  NQClient client = byHost ? NQClient(key, NQNameTypeHost, 0, nullptr) : NQClient(key, false, 0);
  ClientDirectoryEntry found;
  if (const int rc = client.getClientId(found.id, nullptr)) return rc;
  client.getName(found.name, nullptr);
  client.getHiveId(found.hiveId, nullptr);
  if (entry) *entry = std::move(found);
  return kClientFound;
}

const HostConfig& HostServices::Config() { return CurrentHostConfig(); }

std::string HostServices::TempDirectory() {
  NQPI_Base platform;
  return platform.getTesselTempDirectory();
}

uid_t HostServices::EffectiveUid() { return ::geteuid(); }

HostServices& DefaultHostServices() {
  static HostServices host;
  return host;
}
