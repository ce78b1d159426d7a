// A hostile process inside a run, for the tests: it tries what a process of the Oracle owner
// could do to the terminal and the session of whoever started the host, and writes how each
// attempt ended on standard output, one line each:
//   session: <its session id> <its process group>    always, first
//   --tty TEXT     open /dev/tty ("tty: opened" or "tty: <error>"), then push TEXT into its
//                  input with TIOCSTI ("inject: done" or "inject: <error>")
//   --join PGID    move into the process group PGID ("join: done" or "join: <error>")
//   --leave FILE   leave the run's process group and its process tree: the intruder forks, the
//                  child moves into a new group of the same session, writes its pid to FILE and
//                  waits to be killed; the parent exits once FILE is written
//   --wait         wait to be killed
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Report(const char* what, bool done) {
  std::printf("%s: %s\n", what, done ? "done" : std::strerror(errno));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("session: %d %d\n", static_cast<int>(::getsid(0)), static_cast<int>(::getpgrp()));
  std::fflush(stdout);
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (option == "--tty") {
      ++i;
      const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY);
      if (tty < 0) {
        Report("tty", false);
        continue;
      }
      std::printf("tty: opened\n");
      bool pushed = true;
      for (const char* c = value; *c && pushed; ++c) pushed = ::ioctl(tty, TIOCSTI, c) == 0;
      Report("inject", pushed);
    } else if (option == "--join") {
      ++i;
      Report("join", ::setpgid(0, static_cast<pid_t>(std::atol(value))) == 0);
    } else if (option == "--leave") {
      ++i;
      int ready[2];
      if (::pipe(ready) != 0) return 1;
      const pid_t child = ::fork();
      if (child < 0) return 1;
      if (child > 0) {
        ::close(ready[1]);
        char byte;
        while (::read(ready[0], &byte, 1) < 0 && errno == EINTR) {
        }
        return 0;
      }
      ::close(ready[0]);
      ::setpgid(0, 0);
      if (FILE* file = std::fopen(value, "w")) {
        std::fprintf(file, "%d", static_cast<int>(::getpid()));
        std::fclose(file);
      }
      ::close(ready[1]);
      for (;;) ::pause();
    } else if (option == "--wait") {
      for (;;) ::pause();
    }
  }
  return 0;
}
