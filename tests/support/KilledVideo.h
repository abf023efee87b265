// A writer that dies as a killed host does: forked, it runs its work and ends
// itself with SIGKILL, nothing closed or flushed.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace testsupport {

// Runs `work` in a forked child that then kills itself; returns 128 + the signal
// that ended the child (SIGABRT when `work` threw), else its exit status.
inline int killedAfter(std::function<void()> const& work) {
  std::fflush(nullptr);
  pid_t const pid = ::fork();
  if (pid == 0) work(), ::raise(SIGKILL);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

}  // namespace testsupport
