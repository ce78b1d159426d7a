// NqEBSInterface: the worker that serves one Oracle EBS request. The entry point makes one per
// request, calls ProcessXMLReq once with the inner request text and reads the error code and
// message afterwards. The worker owns everything its operations share: the inner request
// message they read and fill in, the error state, the log context and the values found during
// discovery. Its operations live in one source file per subsystem (dispatch here; discovery,
// context files and registration in their own directories). Used by one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "context/xml_error_handler.h"
#include "discovery/temp_files.h"
#include "messages/catalogue.h"
#include "platform/services/host_services.h"
#include "base/file_io.h"
#include "platform/host/log.h"

XERCES_CPP_NAMESPACE_BEGIN
class DOMDocument;
XERCES_CPP_NAMESPACE_END
class ContextParser;
struct ContextParserDeleter {
  void operator()(ContextParser* parser) const noexcept;
};

class NqEBSInterface {
  // Context files (src/context). `document` is the latest parsed context document, owned by
  // `parser`, null until a parse succeeds and after one fails. The parser is made on the first
  // parse (the XML platform must be initialised by then) and holds one document at a time.
  xercesc::DOMDocument* document = nullptr;
  std::unique_ptr<ContextParser, ContextParserDeleter> parser;
  XmlDomErrorHandler errorHandler;
  // Whether the latest initParser failed (see initParser).
  bool lastParseFailed = false;
  // Whether a lookup on the current document met a value longer than kMaxContextValueChars.
  bool valueOverBound = false;

 public:
  // Every service of the host (process runner, request channel, client directory, configuration,
  // temporary directory, clock) is reached through `host`, which must outlive the worker.
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

  // Context files (src/context): parse one context text, then look values up in it.
  // initParser returns true when the text became the current document. It returns false (and
  // sets lastParseFailed) when the text is not well-formed XML, carries a DOCTYPE with an
  // internal subset, breaks the bounds of context_bounds.h or makes the parser fail in any other
  // way (a DOCTYPE that only names an external DTD parses; the DTD is never read): the two
  // reportError lines are logged, there is no current document, and the lookups then read "" and 0,
  // so the caller must skip that context file. Nothing is thrown.
  bool initParser(const std::string& xmlText);
  // Lookups on the current document. The parent is the index-th element named tagName in the
  // whole document; the child the childIndex-th element named childName at any depth below it,
  // both in document order. Names compare exactly. A missing parent, child or attribute reads
  // as "" (count 0). Values are UTF-8. A value longer than kMaxContextValueChars reads as "" too,
  // and refuses the file: the first such value logs an ERROR line naming the file and the bound.
  int getChildCount(const char* tagName, int index, const char* childName);
  std::string getChildValue(const char* tagName, int index, const char* childName, int childIndex);
  std::string getChildAttribute(const std::string& tagName, int index, const std::string& childName,
                                int childIndex, const std::string& attributeName);
  // Merge the current document into the request: 0 when done; 1, with nothing merged, when a
  // value they take was over the bound (see the lookups), and the file is to be refused.
  int ProcessDBTierTags();
  int ProcessAppTierTags();
  friend class NqEBSInterfaceTest;  // test access to the request

  // Registration with the managing server (src/registration).
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
  // Positions of the application nodes of the request by host name (the first node of each
  // host), so that merging a context file into its node costs one lookup; the list indexed and
  // its length, to tell when it must be indexed again (src/worker/app_tier.cpp).
  std::unordered_map<std::string, size_t> appNodeByHost;
  const std::vector<PXMessageBase>* appNodesIndexed = nullptr;
  size_t appNodesCount = 0;

  // Discovery (src/discovery): the owner of <dbHome>/bin/oracle, who runs sqlplus and writes
  // the export; the trusted temporary directory, the lock that serialises discoveries sharing it
  // (held from the export scripts to the end of reading the export) and the private directory
  // of this run inside it, removed with the export when the discovery ends.
  OracleAccount oracleAccount;
  UniqueFd tempDirFd;
  DiscoveryLock discoveryLock;
  RunDirectory runDirectory;
  bool CheckScriptValues();
  bool CheckOracleProgram();
  bool LockTempDir();
  void EndRun();
  // Logs every ORA- and SP2- line of sqlplus's output at error level, `secret` masked.
  void ReportSqlplusErrors(const std::string& output, const std::string& secret);
};

// Error code of an invalid or failed inner request.
constexpr int kEBSRequestFailed = 520;
