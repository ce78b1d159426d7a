// NqEBSInterface: the worker that serves one Oracle EBS request. The entry point makes one per
// request, calls ProcessXMLReq once with the inner request text and reads the error code and
// message afterwards. The worker owns everything its operations share: the inner request
// message they read and fill in, the error state, the log context and the values found during
// discovery. Its operations live in one source file per subsystem (dispatch here; discovery,
// context files and registration in their own directories). Used by one thread at a time.
#pragma once

#include <string>

#include "messages/catalogue.h"
#include "platform/log.h"

class NqEBSInterface {
 public:
  NqEBSInterface();
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
  void initParser(const std::string& xmlText);
  int getChildCount(const char* tagName, int index, const char* childName);
  std::string getChildValue(const char* tagName, int index, const char* childName, int childIndex);
  std::string getChildAttribute(const std::string& tagName, int index, const std::string& childName,
                                int childIndex, const std::string& attributeName);
  int ProcessDBTierTags();
  int ProcessAppTierTags();

  // Registration with the managing server (src/registration).
  bool GetClientForHost(const std::string& hostName, NqEntities::ClientEntity* client);
  bool SetRemoteRegKey(std::string clientName, int mode, std::string keyName, std::string keyPath,
                       std::string keyType, std::string keyValue);
  int SetRegistryKeyForClients();

 private:
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
};

// Message types of Hux::OraEBSReqResp.
enum EBSMessageType : int { kEBSSave = 1, kEBSDiscover = 2, kEBSDelete = 8 };

// Error code of an invalid or failed inner request.
constexpr int kEBSRequestFailed = 520;
