// XMLHandler: the host's request channel to the managing server. This stand-in serves the
// requests itself from the store (EBS_HOST_STORE): it reads the request text as the message class
// whose identity it is given and applies it in one transaction.
//   Api::VirtualAppReq, operation 0: create or update the virtual app by name and store its
//     configuration (with every password emptied, node lists included); reply: the virtual app
//     with its id and name. The store is created on the first save.
//   Api::VirtualAppReq, operation 2: delete the virtual app of the given id.
//   App::SetClientPropertiesRequest: set every registry value on every listed client.
// A delete or a registry change never creates the store: a missing one holds no app or client.
// The store connection is the thread's kept one (platform/server/store_connection.h).
// Result 0 on success; otherwise a ChannelResult code, and the reply is a Hux::GenericResp with
// that code and the server's reason in errorMessage (e.g. "no virtual app with id 2"). The
// channel logs nothing: the caller, which knows what the request was for, logs the refusal.
// One object per exchange; not shared between threads.
#pragma once

#include <string>

class AdaptersBase {
 public:
  virtual ~AdaptersBase() = default;
};

enum ChannelResult : int {
  kChannelOk = 0,
  kChannelInvalidRequest = 1,  // unreadable, unknown class, missing name, unknown operation
  kChannelNotFound = 2,        // unknown app id or client
  kChannelStoreFailed = 3,     // the store cannot be opened, or stays busy
};

// The first argument of handleXMLReq.
constexpr unsigned long kRequestChannelVersion = 1;

class XMLHandler : public AdaptersBase {
 public:
  int handleXMLReq(unsigned long version, unsigned long classId, std::string& request,
                   std::string& response, std::string context, unsigned long flags);
};
