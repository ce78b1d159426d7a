// NqEBSInterface: the worker that serves one Oracle EBS request. The entry point makes one per
// request, calls ProcessXMLReq once with the inner request text and reads the error code and
// message afterwards. The worker owns everything its operations share: the inner request
// message they read and fill in, the error state, the log context and the values found during
// discovery. Its operations live in one source file per subsystem (dispatch here; discovery,
// context files and registration in their own directories). Used by one thread at a time.
#pragma once

#include <string>

#include "context/context_document.h"
#include "context/tier_merge.h"
#include "discovery/discovery_lock.h"
#include "discovery/oracle_home.h"
#include "discovery/run_directory.h"
#include "messages/catalogue.h"
#include "platform/services/host_services.h"
#include "base/file_io.h"
#include "platform/host/log.h"

class NqEBSInterface {
  // Context files (src/context): the current context document and the index of the application
  // nodes by host that merges use.
  ContextDocument context;
  AppNodeIndex appNodes;

 public:
  // Every service of the host (process runner, request channel, client directory, configuration,
  // temporary directory, user id) is reached through `host`, which must outlive the worker.
  explicit NqEBSInterface(HostServices& host = DefaultHostServices());
  ~NqEBSInterface();
  NqEBSInterface(const NqEBSInterface&) = delete;
  NqEBSInterface& operator=(const NqEBSInterface&) = delete;

  // Request dispatch. Returns 1 when the inner request carries no message type (the text is
  // then left as it is), 0 otherwise; the text then holds the serialised answer.
  int ProcessXMLReq(std::string& xml);

  void SetErrorCode(int code);
  void SetErrorMessage(std::string message);
  int GetErrorCode();
  std::string GetErrorMessage();
  // A failed request: error code 520 with `message`.
  void RecordFailure(const std::string& message);

  // The operations of the message types; their results are not used, failures travel through
  // the error code and message.
  int Save();
  int Discover();
  int Delete();

  // Discovery on the database host (src/discovery).
  int FetchDBHome();
  int PrepareSQLScript();
  int ExecShellScript();
  int FetchEBSContextFiles();

  // Context files (src/context), as ContextDocument parses and looks up (context_document.h).
  // initParser returns true when the text became the current document; otherwise the failure is
  // logged and the lookups read "" and 0, so the caller must skip that context file.
  bool initParser(const std::string& xmlText);
  int getChildCount(const char* tagName, int index, const char* childName);
  std::string getChildValue(const char* tagName, int index, const char* childName, int childIndex);
  std::string getChildAttribute(const std::string& tagName, int index, const std::string& childName,
                                int childIndex, const std::string& attributeName);
  // Merge the current document into the request: 0 when done; 1, with nothing merged, when a
  // value they take was over the bound (see the lookups), and the file is to be refused.
  int ProcessDBTierTags();
  int ProcessAppTierTags();
  friend class NqEBSInterfaceTest;  // test access to the request

  // Registration with the managing server (src/worker/registration.cpp).
  bool GetClientForHost(const std::string& hostName, NqEntities::ClientEntity* client);
  bool SetRemoteRegKey(std::string clientName, int mode, std::string keyName, std::string keyPath,
                       std::string keyType, std::string keyValue);
  int SetRegistryKeyForClients();

 private:
  HostServices& host;
  EvEvent logContext;
  Hux::GenericResp genericResp;
  Hux::OraEBSReqResp request;
  std::string dbHome;
  std::string oracleUser;
  std::string exportFilePath;
  std::string sqlScriptPath;
  std::string oracleSid;
  std::string tempDir;
  bool platformReady = false;

  // Discovery (src/discovery; glue in discovery.cpp): the owner of <dbHome>/bin/oracle, who
  // runs sqlplus and writes the export; the trusted temporary directory, the lock that
  // serialises discoveries sharing it (held from the export scripts to the end of reading the
  // export) and the private directory of this run inside it (which holds its own descriptor of
  // the temporary directory), removed with the export when the discovery ends.
  OracleAccount oracleAccount;
  UniqueFd tempDirFd;
  DiscoveryLock discoveryLock;
  RunDirectory runDirectory;
  bool CheckScriptValues();
  bool CheckOracleProgram();
  bool LockTempDir();
  void EndRun();
  // Logs the ORA- and SP2- lines of sqlplus's output (SqlplusErrorLines) at error level.
  void ReportSqlplusErrors(const std::vector<std::string>& lines);
};

// Error code of an invalid or failed inner request.
constexpr int kEBSRequestFailed = 520;
