// Builders of the requests a host sends to the plug-in (the envelope around an inner request,
// the inner Discover and Delete requests) and the reading of its answer. Pure functions;
// thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "messages/catalogue.h"

// The text of an envelope of application type `appType` carrying the inner text `inner`.
std::string EnvelopeText(int64_t appType, const std::string& inner);

// A Discover request for `sid`, logging in to the database as `user` with `password`.
Hux::OraEBSReqResp DiscoverRequest(const std::string& sid, const std::string& user,
                                   const std::string& password);

// What a host reads of an answer envelope: its error code and message and the inner text.
struct AnswerParts {
  int64_t errorCode = 0;
  std::string errorMessage;
  std::string inner;
};
// Fills `envelope` from the answer `text` and returns its parts.
AnswerParts ReadAnswer(const std::string& text, Hux::EnterpriseAppsReqResp& envelope);

// A Delete request for the virtual app `appId`.
Hux::OraEBSReqResp DeleteRequest(int64_t appId);
