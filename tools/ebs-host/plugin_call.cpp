#include "plugin_call.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <thread>

#include "interrupt.h"
#include "messages/requests.h"
#include "platform/host/host_config.h"
#include "plugin_loader.h"
#include "terminal_text.h"

namespace {

// Follows the log while the call runs, on a thread of its own.
class Watch {
 public:
  Watch(const Global& g, CallLog& log, const Progress& progress)
      : g_(g), log_(log), sid_(progress.sid) {
    status_ = !sid_.empty() && Styled(STDERR_FILENO);
    limit_ = CurrentHostConfig().commandTimeoutSeconds;
    stage_ = "looking up SID " + sid_ + " in the instance table";
    if (g_.verbose || status_) thread_ = std::thread([this] { Run(); });
  }

  // Stops following; returns every line of the call.
  std::vector<LogLine> Finish() {
    if (thread_.joinable()) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
      }
      wake_.notify_all();
      thread_.join();
    }
    Take(log_.Poll());
    ClearStatus();
    return std::move(lines_);
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_) {
      lock.unlock();
      Take(log_.Poll());
      if (status_) DrawStatus();
      lock.lock();
      wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return done_; });
    }
  }

  void Take(std::vector<LogLine> lines) {
    for (LogLine& line : lines) {
      if (g_.verbose) {
        ClearStatus();
        std::cerr << Shown(line.raw) << "\n";
      }
      // The stages of a discovery, from the lines it logs on its way: the plug-in's fixed lines
      // "Oracle user Name : %s , Oracle Home %s" (FetchDBHome) and "Reading export file …"
      // (Discover) are the interface.
      if (line.label == "FetchDBHome" && line.text.rfind("Oracle user Name : ", 0) == 0) {
        const std::string user = line.text.substr(19, line.text.find(" , Oracle Home") - 19);
        stage_ = "exporting context files as " + user + " via sqlplus";
      } else if (line.label == "Discover" && line.text.rfind("Reading export file", 0) == 0) {
        stage_ = "reading context files";
      }
      lines_.push_back(std::move(line));
    }
  }

  void DrawStatus() {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start_)
            .count();
    // The stage names the SID and the Oracle owner: shown escaped.
    const std::string text = Shown(stage_) + "\u2026 " + std::to_string(seconds) + " s (limit " +
                             std::to_string(limit_) + " s)";
    if (drawn_ && text == shown_) return;
    std::cerr << "\r\033[K" << text << std::flush;
    shown_ = text;
    drawn_ = true;
  }

  void ClearStatus() {
    if (!drawn_) return;
    std::cerr << "\r\033[K" << std::flush;
    drawn_ = false;
  }

  const Global& g_;
  CallLog& log_;
  std::string sid_, stage_, shown_;
  bool status_ = false, drawn_ = false;
  int limit_ = 0;
  std::vector<LogLine> lines_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace

int CallPlugin(const Global& g, std::string text, Answer& answer, const Progress& progress) {
  CallLog log;
  if (Status s = log.Open(g.logFile); !s.ok)
    return Fail(g, kUnavailable, "cannot use the log: " + s.message);
  PluginLoader loader;
  if (Status s = loader.Load(g.plugin); !s.ok)
    return Fail(g, kUnavailable, "cannot use the plug-in: " + s.message);
  Watch watch(g, log, progress);
  {
    PluginCallScope inside;
    answer.result = loader.Call(text);
  }
  answer.lines = watch.Finish();
  WaitIfInterrupted();
  answer.causes = Causes(answer.lines);
  // Read as ReadAnswer reads it, the inner text moved rather than copied: an answer may be
  // as large as the request.
  answer.text = std::move(text);
  answer.envelope.unserialize(answer.text);
  auto env = View(answer.envelope);
  auto resp = env.child(Hux::EnterpriseAppsReqResp::response, Create::No);
  answer.errorCode = resp.get(Hux::GenericResp::errorCode);
  answer.errorMessage = resp.get(Hux::GenericResp::errorMessage);
  answer.inner = env.take(Hux::EnterpriseAppsReqResp::xmlString);
  return kOk;
}

std::string EbsEnvelope(const Hux::OraEBSReqResp& request) {
  return EnvelopeText(kAppTypeOracleEBS, request.serialized());
}

int AnswerFailed(const Global& g, const Answer& a) {
  return Fail(g, kAnswerError, "error " + std::to_string(a.errorCode) + ": " + a.errorMessage,
              a.causes, a.errorCode);
}
