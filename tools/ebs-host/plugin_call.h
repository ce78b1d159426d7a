// One exchange with the plug-in, as the platform makes it: the library loaded with dlopen, its
// entry point called on the request text. Around the call, ebs-host reads its own log lines
// (call_log.h): the ERROR ones become the answer's causes, -v copies every line to standard
// error as it comes (escaped, as terminal_text.h shows text), and a discovery run on a terminal
// shows one status line with the elapsed seconds and the time limit. Main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "call_log.h"
#include "cli.h"
#include "messages/catalogue.h"

struct Answer {
  int result = 0;
  int64_t errorCode = 0;
  std::string errorMessage;
  std::string text;   // the whole answer envelope
  std::string inner;  // its xmlString
  Hux::EnterpriseAppsReqResp envelope;  // read from `text`, its xmlString moved to `inner`
  std::vector<LogLine> lines;  // the log lines of the call
  std::vector<std::string> causes;
  bool ok() const { return result == 0 && errorCode == 0; }
};

// What the status line says while a discovery runs; empty for other calls.
struct Progress {
  std::string sid;
};

// kOk with `answer` filled, or a failure already printed (exit 3: plug-in or log unusable).
int CallPlugin(const Global& g, std::string text, Answer& answer, const Progress& progress = {});

// The envelope of an Oracle EBS request.
std::string EbsEnvelope(const Hux::OraEBSReqResp& request);

// Prints a failed answer ("error <code>: <message>" and its causes) and returns exit 1.
int AnswerFailed(const Global& g, const Answer& a);
