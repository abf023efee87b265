// Work done in a forked child: a writer that dies at a known point as a killed
// host does, or a call that must not hang, watched until a deadline.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

namespace testsupport {

// Runs `work` in a forked child and waits for it at most `seconds`. Returns
// what `work` returned, 128 + the signal that ended the child (SIGABRT when
// `work` threw), or -1 when it still ran at the deadline and was killed.
inline int inChild(std::function<int()> const& work, double seconds) {
  std::fflush(nullptr);  // what the parent buffered is printed once, not twice
  pid_t const pid = ::fork();
  if (pid == 0) ::_exit([&]() noexcept { return work(); }());  // a throw ends in SIGABRT
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int status = 0;
  for (; pid > 0 && ::waitpid(pid, &status, WNOHANG) == 0;
       std::this_thread::sleep_for(std::chrono::milliseconds(2)))
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
  return pid < 0 ? -2 : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// Ends the calling process as `kill -9` would: nothing is closed or flushed.
[[noreturn]] inline void dieNow() { ::raise(SIGKILL), ::_exit(126); }

}  // namespace testsupport
