// Figures of one piece of work measured in a child process of its own, so that its peak memory
// is not mixed with the benchmark's: the child runs `work`, which fills `N - 1` figures, and
// reports them with its peak resident size (KiB) as the last one. Returns false when the child
// failed; the benchmark then skips with an error.
#pragma once

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>

template <size_t N, class Work>
bool InChild(benchmark::State& state, Work&& work, std::array<long, N>& figures) {
  figures.fill(0);
  int fds[2];
  if (pipe(fds) != 0) {
    state.SkipWithError("pipe failed");
    return false;
  }
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    std::array<long, N> found{};
    work(found);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    found[N - 1] = usage.ru_maxrss;
    (void)!write(fds[1], found.data(), sizeof(long) * N);
    _exit(0);
  }
  close(fds[1]);
  const bool got = child > 0 && read(fds[0], figures.data(), sizeof(long) * N) ==
                                    static_cast<ssize_t>(sizeof(long) * N);
  close(fds[0]);
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
  if (!got) state.SkipWithError("child failed");
  return got;
}
