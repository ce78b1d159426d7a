// The ids a store lists, for the store suites.
#pragma once

#include <string>
#include <vector>

#include "platform/server/store.h"

// The ids of the store's clients and apps, as the store lists them: "clients 1 3, apps 1".
inline std::string Ids(ServerStore& store) {
  std::vector<ClientRecord> clients;
  std::vector<AppRecord> apps;
  if (!store.ListClients(clients).ok || !store.ListApps(apps).ok) return "unreadable";
  std::string out = "clients";
  for (const ClientRecord& c : clients) out += " " + std::to_string(c.id);
  out += ", apps";
  for (const AppRecord& a : apps) out += " " + std::to_string(a.id);
  return out;
}
