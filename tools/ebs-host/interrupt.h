// Interruption of ebs-host. After InstallInterruptHandling, SIGINT, SIGTERM and SIGHUP make a
// dedicated thread end every process this process started, with their process groups and
// descendants (found through /proc/<pid>/task/*/children): SIGTERM first, SIGKILL to what is left
// after a short grace. It then calls `farewell` and exits with 128 + the signal (130, 143, 129);
// the kernel releases the locks the process held. The handlers only write to a pipe and restart
// interrupted calls, so the plug-in's work is not disturbed until the end; they are reset to the
// default in every program started (exec). Call once, from the main thread.
#pragma once

#include <functional>

void InstallInterruptHandling(std::function<void(int signal)> farewell);

// True once an interrupting signal has arrived.
bool Interrupted();

// Blocks for good when interrupted (the handling thread ends the process); returns otherwise.
void WaitIfInterrupted();

// Marks the main thread as inside the plug-in for the life of the object. When interrupted,
// the handling thread, once the processes are ended, gives such a call a few seconds to come
// back (so that the plug-in removes its files) before the process exits.
class PluginCallScope {
 public:
  PluginCallScope();
  ~PluginCallScope();
  PluginCallScope(const PluginCallScope&) = delete;
  PluginCallScope& operator=(const PluginCallScope&) = delete;
};

// Ends every descendant of this process as described above; returns when they are gone or were
// sent SIGKILL.
void EndDescendants();
