// The plug-in's one exported function. The host passes the text of a Hux::EnterpriseAppsReqResp
// request and receives the answer in the same string: the envelope with its inner text replaced
// and a Hux::GenericResp attached. Returns 0 when the request reached the EBS worker (its outcome
// is the answer's error code) and -1 when it was refused. Never throws; safe to call from several
// threads at once.
#pragma once

#include <string>

#define EBS_EXPORT __attribute__((visibility("default")))

extern "C" EBS_EXPORT int OnMsgEnterpriseApps(std::string& xml) noexcept;
