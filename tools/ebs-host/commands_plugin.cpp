// The commands that call the plug-in: request, discover (optionally saving what it found),
// save and delete.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>
#include <sstream>
#include <string_view>
#include <utility>

#include "client_hints.h"
#include "commands.h"
#include "ebs_version.h"
#include "json_view.h"
#include "messages/requests.h"
#include "picture.h"
#include "platform/host/host_config.h"
#include "platform/message/pstring.h"
#include "messages/redact.h"
#include "base/file_io.h"
#include "base/trusted_dir.h"
#include "plugin_call.h"
#include "plugin_locator.h"
#include "terminal_text.h"
#include "topology_view.h"

namespace {

// How much of the end of the log `save` reads for the names a discovery looked up.
constexpr size_t kRecentLogBytes = 8u << 20;

// What --json prints for an answer of the plug-in: {result, errorCode, errorMessage, answer},
// `answer` null when the inner text is no message.
Json AnswerJson(const Global& g, const Answer& a, const PXMessageBase& inner) {
  Json j;
  j["result"] = a.result;
  j["errorCode"] = a.errorCode;
  j["errorMessage"] = a.errorMessage;
  j["answer"] = inner.empty() ? Json(nullptr) : MessageToJson(inner, g.showSecrets);
  return j;
}

}  // namespace

Json AnswerErrorJson(const Answer& a) {
  return a.ok() ? Json(nullptr) : ErrorJson(a.errorCode, a.errorMessage, a.causes);
}

namespace {

// Prints a command's outcome and returns its exit status: under --json the document `json` (exit 1
// for a failed answer); otherwise `text`, when there is one, then a failed answer's error.
int Report(const Global& g, const Answer& a, const Json& json, const std::string& text) {
  if (g.json) return EmitJson(g, json, a.ok() ? kOk : kAnswerError, AnswerErrorJson(a));
  if (!text.empty())
    if (int rc = Emit(g, text)) return rc;
  return a.ok() ? kOk : AnswerFailed(g, a);
}

// The answer's inner text as it may be shown: passwords emptied unless asked for by name. The
// text is let go once read, for an inner text may be as large as the request.
std::string ShownInner(const Global& g, std::string inner) {
  if (g.showSecrets) return inner;
  Hux::OraEBSReqResp message;
  if (!message.unserialize(inner)) return RedactPasswords(inner);
  std::string().swap(inner);
  EmptyPasswords(message);
  return message.serialized();
}

// What --xml prints: the inner text as ShownInner makes it, safe for a terminal.
std::string XmlOutput(const Global& g, const std::string& inner) {
  return XmlForTerminal(ShownInner(g, inner)) + "\n";
}

// The warnings about nodes without a client: into `json` when given (its "missingClients", an
// array, empty when every node has one), else on standard error.
void PrintWarnings(const std::vector<MissingClient>& missing, Json* json) {
  if (json) (*json)["missingClients"] = Json::array();
  for (const MissingClient& m : missing) {
    if (json)
      (*json)["missingClients"].push_back(
          {{"host", m.host},
           {"lookedUp", m.fqdn.empty() ? Json(nullptr) : Json(m.fqdn)},
           {"warning", MissingClientWarning(m)}});
    else
      std::cerr << "ebs-host: " << MissingClientWarning(m) << "\n";
  }
}

// The first line of `path` (standard input for "-"), read with read(2) into buffers that are
// wiped, the bytes past the line included; no stream keeps a copy.
Status ReadPasswordFile(const std::string& path, std::string& password) {
  const bool standardInput = path == "-";
  // Never through a link, never blocking on a FIFO, and only a file that nobody but its owner
  // (root or this user) can read, as ssh wants of a key.
  UniqueFd file(standardInput
                    ? -1
                    : ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  const int fd = standardInput ? STDIN_FILENO : file.get();
  if (fd < 0)
    return Status::Error(errno == ELOOP ? path + " is a symbolic link; name the password file itself"
                                        : "cannot read " + path + ": " + std::strerror(errno));
  if (!standardInput) {
    struct stat st {};
    const uid_t self = ::geteuid();
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
      return Status::Error(path + " is not a regular file; the password is read from a file only");
    if (st.st_uid != 0 && st.st_uid != self)
      return Status::Error(path + " belongs to user id " + std::to_string(st.st_uid) +
                           "; the password file must be root's or yours");
    if ((st.st_mode & 077) != 0)
      return Status::Error(path + " may be read or changed by other accounts (mode " +
                           ModeText(st.st_mode) + "); make it private with: " +
                           ShellCommand({"chmod", "600", path}));
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  std::string text(256, '\0');
  size_t used = 0;
  bool failed = false;
  for (;;) {
    if (used == text.size()) {  // grown by hand, so that no unwiped copy is left behind
      std::string bigger(text.size() * 2, '\0');
      std::memcpy(bigger.data(), text.data(), used);
      WipeString(text);
      text.swap(bigger);
    }
    const ssize_t n = ::read(fd, text.data() + used, text.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = true;
    if (n <= 0) break;
    const char* chunk = text.data() + used;
    used += static_cast<size_t>(n);
    if (std::memchr(chunk, '\n', n) || std::memchr(chunk, '\r', n)) break;
  }
  const Status read =
      failed ? Status::Error("cannot read " + path + ": " + std::strerror(errno)) : Status::Ok();
  if (!failed) {
    const size_t end = std::string_view(text.data(), used).find_first_of("\r\n");
    password.assign(text.data(), end == std::string_view::npos ? used : end);
  }
  WipeString(text);
  return read;
}

// The password of a discovery, from its file or its environment variable, into `password`.
Status ReadPassword(const DiscoverArgs& args, std::string& password) {
  if (!args.passwordFile.empty()) return ReadPasswordFile(args.passwordFile, password);
  char* value = std::getenv(args.passwordEnv.c_str());
  if (!value) return Status::Error("environment variable " + args.passwordEnv + " is not set");
  password = value;
  // Nothing started from here on (the Oracle owner's processes included) inherits it, and its
  // bytes are gone from this process's environment block (/proc/<pid>/environ) too.
  std::memset(value, 0, std::strlen(value));
  ::unsetenv(args.passwordEnv.c_str());
  return Status::Ok();
}

// The app id the store gives the saved app `name`; 0 when it cannot be read.
int64_t SavedAppId(const std::string& name) {
  std::unique_ptr<ServerStore> store;
  std::optional<AppRecord> app;
  if (!ServerStore::Open(CurrentHostConfig().storePath, store, StoreAccess::ReadOnly).ok || !store ||
      !store->FindAppByName(name, app).ok || !app)
    return 0;
  return app->id;
}

// The registry value asked for on every node's client, as the server now holds it.
std::string ClientValues(Msg<Hux::OraEBSConfig> cfg) {
  std::unique_ptr<ServerStore> store;
  if (!ServerStore::Open(CurrentHostConfig().storePath, store, StoreAccess::ReadOnly).ok || !store)
    return "";
  std::vector<std::string> clients;
  ForEachNode(cfg, [&](auto node) { clients.push_back(ClientOf(node)); });
  std::string out;
  for (const std::string& client : clients) {
    if (client.empty()) continue;  // a node without a client has had its warning
    std::optional<ClientRecord> record;
    std::vector<RegistryValue> values;
    std::string value = "not set";
    if (store->FindClientByName(client, record).ok && record &&
        store->RegistryValues(record->id, values).ok)
      for (const RegistryValue& v : values)
        if (v.path == "Huxwire" && v.name == "nCollectClientConfig") value = v.value;
    out += "  client " + Shown(client) + ": Huxwire/nCollectClientConfig = " + Shown(value) + "\n";
  }
  return out;
}

// Records how the app `appId` was discovered; a failure is a warning, the save stands.
void RecordMetadata(int64_t appId, const AppMetadata& metadata) {
  std::unique_ptr<ServerStore> store;
  Status s = ServerStore::Open(CurrentHostConfig().storePath, store, StoreAccess::ReadWriteExisting);
  if (s.ok && store) s = store->SetAppMetadata(appId, metadata);
  if (!s.ok || !store)
    std::cerr << "ebs-host: warning: the discovery metadata of virtual app " << appId
              << " was not recorded: " << (s.ok ? "the store is gone" : Shown(s.message)) << "\n";
}

}  // namespace

// Saves `config` as the virtual app `name`. `lines` are the log lines of the discovery that
// found it, if it ran in this process; `how.before` its JSON (or the drift's), printed along with
// the save's under `how.beforeKey`, and `how.textBefore` what people read before the save's text.
int SaveConfig(const Global& g, Hux::OraEBSConfig config, const std::string& name,
               const std::vector<LogLine>& lines, const SaveContext& how) {
  const Json* discovered = how.before;
  // Under --json, what came before the save (the discovery, the drift) is part of the document.
  const auto withBefore = [&](const Json& save) {
    return Json{{how.beforeKey, Shaped(*discovered, JsonKeys(how.beforeKey))},
                {"save", save.is_null() ? save : Shaped(save, JsonKeys("save"))}};
  };
  if (!HasNodes(View(config))) {
    const std::string refused = "refusing to save " + name +
                                ": the configuration has no database node and no application "
                                "node (did the discovery fail?)";
    if (g.json && discovered)
      return EmitJson(g, withBefore(nullptr), kAnswerError, ErrorJson(kAnswerError, refused, {}));
    return Fail(g, kAnswerError, refused);
  }
  std::unique_ptr<ServerStore> store;
  if (int rc = OpenStoreReadOnly(g, store)) return rc;
  store.reset();

  Json json = Json::object();
  PrintWarnings(NodesWithoutClient(View(config), lines), g.json ? &json : nullptr);

  // The server keeps no password: none is sent.
  EmptyPasswords(config);
  View(config)
      .child(Hux::OraEBSConfig::virtualApp, Create::Yes)
      .set(NqEntities::AppEntity::appName, name);
  Hux::OraEBSReqResp request;
  View(request).set(Hux::OraEBSReqResp::messageType, kEBSSave);
  View(request).attach(Hux::OraEBSReqResp::ebsConfig, std::make_unique<Hux::OraEBSConfig>(config));
  Answer a;
  if (int rc = CallPlugin(g, EbsEnvelope(request), a)) return rc;
  Hux::OraEBSReqResp inner;
  inner.unserialize(a.inner);
  const int64_t appId = a.ok() ? SavedAppId(name) : 0;
  Json j = AnswerJson(g, a, inner);
  if (a.ok()) j["appId"] = appId;
  j["name"] = name;
  for (auto& [key, value] : json.items()) j[key] = value;
  if (discovered) j = withBefore(j);
  // The metadata goes with the app the server saved; never a password.
  if (a.ok() && appId != 0) RecordMetadata(appId, how.metadata);
  std::string text = g.json ? "" : how.textBefore;
  if (g.xml) {
    text = XmlOutput(g, a.inner);
  } else if (!g.json && a.ok()) {
    text += "Saved virtual app " + Shown(name) + " (id " + std::to_string(appId) + ")\n";
    text += ClientValues(View(inner).child(Hux::OraEBSReqResp::ebsConfig, Create::No));
  }
  return Report(g, a, j, text);
}

namespace {

// A configuration as `discover --xml` prints it (an answered request), or as `apps show --xml`
// prints it (the configuration alone).
bool ReadConfig(const std::string& text, Hux::OraEBSConfig& config) {
  Hux::OraEBSReqResp answer;
  if (answer.unserialize(text) && View(answer).isSet(Hux::OraEBSReqResp::ebsConfig)) {
    config = Hux::OraEBSConfig(View(answer).child(Hux::OraEBSReqResp::ebsConfig, Create::No).raw());
    return true;
  }
  return config.unserialize(text) && !config.empty();
}

}  // namespace

int OpenStoreReadOnly(const Global& g, std::unique_ptr<ServerStore>& store) {
  const Status s = ServerStore::Open(CurrentHostConfig().storePath, store, StoreAccess::ReadOnly);
  return s.ok ? kOk : StoreFailed(g, s);
}

int RunRequest(const Global& g, const std::string& file) {
  std::string text, error;
  if (!ReadInput(file, text, error)) return Fail(g, kUsage, error);
  std::unique_ptr<ServerStore> store;
  if (int rc = OpenStoreReadOnly(g, store)) return rc;
  Answer a;
  if (int rc = CallPlugin(g, std::move(text), a)) return rc;
  // A request (and so its answer) may be hundreds of megabytes: each text is let go as soon as
  // what is shown no longer needs it, and none is copied whole.
  Json j;
  std::string shown;
  if (g.json) {
    Hux::OraEBSReqResp inner;
    if (!inner.unserialize(a.inner)) inner.clear();
    j = AnswerJson(g, a, inner);
  } else if (g.showSecrets && !g.xml) {
    shown = XmlForTerminal(a.text);
    std::string().swap(a.text);
    shown += '\n';
  } else {
    std::string().swap(a.text);
    shown = ShownInner(g, std::move(a.inner));
    std::string().swap(a.inner);
    if (!g.xml) {
      Hux::EnterpriseAppsReqResp envelope(a.envelope);
      View(envelope).set(Hux::EnterpriseAppsReqResp::xmlString, std::move(shown));
      std::string serialized = envelope.serialized();
      envelope.clear();
      shown = RedactPasswords(serialized);
    }
    shown = XmlForTerminal(shown);
    shown += '\n';
  }
  return Report(g, a, j, shown);
}

std::string UtcNow() {
  char text[32];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

int ReportAnswer(const Global& g, const Answer& a, const Hux::OraEBSReqResp& inner,
                 const Json& json) {
  return Report(g, a, json.is_null() ? AnswerJson(g, a, inner) : json,
                g.xml ? XmlOutput(g, a.inner) : "");
}

int DiscoverCall(const Global& g, const DiscoverArgs& args, Answer& a, Hux::OraEBSReqResp& inner,
                 AppMetadata& metadata) {
  std::string password;
  if (Status s = ReadPassword(args, password); !s.ok) return Fail(g, kUsage, s.message);
  // A store that cannot be used would show every node without a client: said before the work.
  std::unique_ptr<ServerStore> store;
  if (int rc = OpenStoreReadOnly(g, store)) {
    WipeString(password);
    return rc;
  }
  store.reset();
  Hux::OraEBSReqResp request = DiscoverRequest(args.sid, args.user, password);
  WipeString(password);
  std::string envelope = EbsEnvelope(request);
  request.clear();
  if (int rc = CallPlugin(g, std::move(envelope), a, Progress{args.sid})) return rc;
  // The version mark of the library that answered, as --version reads it.
  metadata = AppMetadata{args.sid, args.user, UtcNow(), PluginVersion(g.plugin)};
  inner.unserialize(a.inner);
  return kOk;
}

int RunDiscover(const Global& g, const DiscoverArgs& args) {
  if (args.saveAsGiven && args.saveAs.empty())
    return Fail(g, kUsage, "--save: a virtual app needs a name");
  if (!args.saveAs.empty() && IsPicture(args.format))
    return Fail(g, kUsage,
                "--format " + args.format +
                    " cannot be combined with --save: save first, then draw the saved app with "
                    "`ebs-host apps show ID --format " +
                    args.format + "`");
  if (int rc = CheckFormat(g, args.format)) return rc;
  Answer a;
  Hux::OraEBSReqResp inner;
  AppMetadata metadata;
  if (int rc = DiscoverCall(g, args, a, inner, metadata)) return rc;
  auto config = View(inner).child(Hux::OraEBSReqResp::ebsConfig, Create::No);
  const std::vector<MissingClient> missing =
      a.ok() ? NodesWithoutClient(config, a.lines) : std::vector<MissingClient>{};

  if (!args.saveAs.empty() && a.ok()) {
    // The discovered configuration goes on to the save in memory; the login never leaves.
    Json discovered = AnswerJson(g, a, inner);
    SaveContext how;
    how.before = g.json ? &discovered : nullptr;
    how.metadata = metadata;
    return SaveConfig(g, Hux::OraEBSConfig(config.raw()), args.saveAs, a.lines, how);
  }
  Json j = AnswerJson(g, a, inner);
  std::string text;
  if (g.json) {
    if (a.ok()) PrintWarnings(missing, &j);
    // With --save, the discovery that failed and no save.
    if (!args.saveAs.empty()) j = Json{{"discover", Shaped(j, JsonKeys("discover"))}};
  } else if (g.xml) {
    text = XmlOutput(g, a.inner);
  } else if (a.ok() && IsPicture(args.format)) {
    const int rc = EmitPicture(g, args.format, config);
    if (rc == kOk) PrintWarnings(missing, nullptr);
    return rc;
  } else if (a.ok()) {
    std::ostringstream out;
    PrintTopology(out, config);
    text = out.str();
  }
  const int rc = Report(g, a, j, text);
  // The warnings follow what was found (`missing` is empty for a failed answer).
  if (rc == kOk && !g.json) PrintWarnings(missing, nullptr);
  return rc;
}

int RunSave(const Global& g, const std::string& configFile, const std::string& name) {
  if (name.empty()) return Fail(g, kUsage, "--name: a virtual app needs a name");
  std::string text, error;
  if (!ReadInput(configFile, text, error)) return Fail(g, kUsage, error);
  Hux::OraEBSConfig config;
  if (!ReadConfig(text, config))
    return Fail(g, kUsage,
                configFile +
                    " holds no EBS configuration (expected what `discover --xml` or "
                    "`apps show --xml` prints)");
  // The names that the discovery looked up are in its log lines, if it ran here.
  // A file does not say how, when or by what its configuration was discovered: the metadata
  // records that nothing is known.
  return SaveConfig(g, std::move(config), name, RecentLogLines(g.logFile, kRecentLogBytes),
                    SaveContext{});
}

int RunDelete(const Global& g, int64_t appId) {
  std::unique_ptr<ServerStore> store;
  if (int rc = OpenStoreReadOnly(g, store)) return rc;
  store.reset();
  Answer a;
  if (int rc = CallPlugin(g, EbsEnvelope(DeleteRequest(appId)), a)) return rc;
  Hux::OraEBSReqResp inner;
  inner.unserialize(a.inner);
  Json j = AnswerJson(g, a, inner);
  j["appId"] = appId;
  std::string text;
  if (g.xml)
    text = XmlOutput(g, a.inner);
  else if (a.ok())
    text = "Deleted virtual app " + std::to_string(appId) + "\n";
  return Report(g, a, j, text);
}
