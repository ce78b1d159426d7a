// The commands of ebs-host. Each returns the exit status and has printed its result or failure
// (cli.h). Plug-in commands (commands_plugin.cpp) talk to the library; store commands
// (commands_store.cpp) read and change the managing-server stand-in's store directly, opening it
// read-only when they only read. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "platform/store.h"

struct DiscoverArgs {
  std::string sid, user, passwordFile, passwordEnv;
  std::string saveAs;  // --save NAME: save what was discovered, in the same run
  bool saveAsGiven = false;
  std::string format = "text";  // --format text|dot|svg (picture.h)
};

int RunRequest(const Global& g, const std::string& file);
int RunDiscover(const Global& g, const DiscoverArgs& args);
int RunSave(const Global& g, const std::string& configFile, const std::string& name);
int RunDelete(const Global& g, int64_t appId);

int RunClientsAdd(const Global& g, const std::string& name, const std::vector<std::string>& hosts,
                  int64_t hive);
int RunClientsList(const Global& g);
int RunClientsRemove(const Global& g, const std::string& name);
int RunAppsList(const Global& g);
int RunAppsShow(const Global& g, int64_t id, const std::string& format);

// Opens the store read-only (a missing store leaves `store` null); kOk, or exit 3 printed.
int OpenStoreReadOnly(const Global& g, std::unique_ptr<ServerStore>& store);
