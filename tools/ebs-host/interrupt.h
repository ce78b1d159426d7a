// Interruption of ebs-host. InstallInterruptHandling starts a dedicated thread; while a
// PluginCallScope lives, SIGINT, SIGTERM and SIGHUP make that thread end every process this
// process started, each with the session it leads (the process runner starts every child in a
// session of its own, which holds its whole run): SIGTERM first, SIGKILL to what is left after
// a short grace. No process group is ever signalled. It
// then calls `farewell` and exits with 128 + the signal (130, 143, 129); the kernel releases the
// locks the process held. The farewell runs while the main thread prints nothing (it is inside
// the plug-in, or waits in WaitIfInterrupted), so it may print the one failure. Outside a
// PluginCallScope the signals keep the action they had (by default they end the process), so a
// process blocked writing its output still ends. The handlers only write to a pipe and restart
// interrupted calls, so the plug-in's work is not disturbed until the end; they are reset to the
// default in every program started (exec). Call once, from the main thread.
#pragma once

#include <functional>

void InstallInterruptHandling(std::function<void(int signal)> farewell);

// True once an interrupting signal has arrived.
bool Interrupted();

// Blocks for good when interrupted (the handling thread ends the process); returns otherwise.
void WaitIfInterrupted();

// Marks the main thread as inside the plug-in for the life of the object, and installs the
// handling of the signals for that time (main thread only, not nested). When interrupted,
// the handling thread, once the processes are ended, gives such a call a few seconds to come
// back (so that the plug-in removes its files) before the process exits.
class PluginCallScope {
 public:
  PluginCallScope();
  ~PluginCallScope();
  PluginCallScope(const PluginCallScope&) = delete;
  PluginCallScope& operator=(const PluginCallScope&) = delete;
};

// Ends the runs of this process: SIGTERM to its children (found through
// /proc/<pid>/task/*/children) and to every process of the sessions they lead; once none of these
// runs, or after 2 s, SIGKILL to those that are children or in their sessions at that moment
// (never to a pid found earlier, which may have been reused since). A process that left its
// run's session with setsid() is not reached.
void EndDescendants();
