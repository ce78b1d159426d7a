// The commands of ebs-host. Each returns the exit status and has printed its result or failure
// (cli.h). Plug-in commands (commands_plugin.cpp) talk to the library; store commands
// (commands_store.cpp) read, change, initialise and copy the managing-server stand-in's store
// directly, opening it read-only when they only read; `diff` (commands_diff.cpp) discovers and saves with the plug-in
// commands' own steps, declared below. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "platform/server/store.h"
#include "plugin_call.h"

struct DiscoverArgs {
  std::string sid, user, passwordFile, passwordEnv;
  std::string saveAs;  // --save NAME: save what was discovered, in the same run
  bool saveAsGiven = false;
  std::string format = "text";  // --format text|dot|svg (picture.h)
};

struct DiffArgs {
  int64_t appId = 0;
  DiscoverArgs discover;  // sid and user empty: those of the app's metadata
  bool update = false;    // --update: save the fresh discovery over the app
};

int RunRequest(const Global& g, const std::string& file);
int RunDiscover(const Global& g, const DiscoverArgs& args);
int RunSave(const Global& g, const std::string& configFile, const std::string& name);
int RunDelete(const Global& g, int64_t appId);
// Exit 0 without drift, kDrift with it (also after --update saved), as `discover` for a failed
// discovery.
int RunDiff(const Global& g, const DiffArgs& args);

int RunClientsAdd(const Global& g, const std::string& name, const std::vector<std::string>& hosts,
                  int64_t hive);
int RunClientsList(const Global& g);
int RunClientsRemove(const Global& g, const std::string& name);
// `savedBy`: only the apps that role saved.
int RunAppsList(const Global& g, const std::optional<std::string>& savedBy);
int RunAppsShow(const Global& g, int64_t id, const std::string& format);
// The fleet report (fleet_report.h) of every app of the store, written to `htmlFile` ("-":
// where the output goes). Exit 0 also when pictures could not be drawn; 3 when the store or the
// file cannot be used.
int RunReport(const Global& g, const std::string& htmlFile);

// Creates or migrates the schema of the store in effect (ServerStore::Init); exit 3 when it fails.
int RunStoreInit(const Global& g);
// Copies everything of the store in effect (opened read-only) into the store at `to`, which must
// be initialised and hold no client and no app, keeping every id; `savedBy` gives every app that
// saver. The same store as both is a usage error; nothing to copy, or a target that holds
// something, exit 1.
int RunStoreCopy(const Global& g, const std::string& to, const std::optional<std::string>& savedBy);

// What commands_diff.cpp shares with discover and save (commands_plugin.cpp).

// A discovery as `discover` makes it: the password read (and wiped), the store checked, the
// request sent. kOk with `answer` and its inner message filled (the answer may carry an error)
// and `metadata` saying how it was asked for; otherwise a failure printed.
int DiscoverCall(const Global& g, const DiscoverArgs& args, Answer& answer,
                 Hux::OraEBSReqResp& inner, AppMetadata& metadata);
// Prints a failed answer as `discover` does, under --json with `json` as the document's body
// when it is not null; its exit status.
int ReportAnswer(const Global& g, const Answer& answer, const Hux::OraEBSReqResp& inner,
                 const Json& json = nullptr);
// The error object of a failed answer (code, message, causes); null for a good one.
Json AnswerErrorJson(const Answer& answer);

// How a save is shown and recorded (SaveConfig).
struct SaveContext {
  const Json* before = nullptr;  // JSON printed before the save's, under `beforeKey`
  const char* beforeKey = "discover";
  std::string textBefore;  // text for people printed before the save's
  AppMetadata metadata;    // recorded once the save succeeded; empty fields unknown
};
// Saves `config` as the virtual app `name` through the plug-in (passwords emptied first);
// `lines`: the log lines of the discovery that found it. Its exit status, output printed.
int SaveConfig(const Global& g, Hux::OraEBSConfig config, const std::string& name,
               const std::vector<LogLine>& lines, const SaveContext& how);

// The time now as the store keeps times, e.g. 2026-12-06T18:00:00Z.
std::string UtcNow();

// Prints a failure of the store (exit 3) and returns its status.
int StoreFailed(const Global& g, const Status& s);

// Opens the store read-only (a missing store leaves `store` null); kOk, or exit 3 printed.
int OpenStoreReadOnly(const Global& g, std::unique_ptr<ServerStore>& store);
