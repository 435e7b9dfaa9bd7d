// Runs the installed program with its peak memory and wall time measured, and
// with extra environment variables; used by the tests that check the program
// stays within its bounds (time, memory) on hostile servers and bad links.
//
// Why not a plain fork and exec: a process's ru_maxrss starts at the size of
// the image it was exec'ed from, so a program forked from the test binary
// (under AddressSanitizer, tens of megabytes) would report the test's size.
// The program is therefore started by a short-lived /bin/sh in the background;
// the shell exits at once, the test process (a child subreaper) inherits the
// program and reaps it with wait4(2), which gives the program's own peak.
//
// The bound hook: the program's network bounds are 30 s and 60 s. Its test
// build (InstallHookedProgram) reads kTimeoutHookVariable (milliseconds) and
// then uses that value for its connect, reply and data bounds, so that a test
// of a silent server ends in about a second.
//
// Every wait here is bounded; a run that does not end in time is killed.

#ifndef VARNOLET_TESTS_MEASURED_RUN_H_
#define VARNOLET_TESTS_MEASURED_RUN_H_

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

extern char** environ;

namespace varnolet::testing {

inline constexpr const char* kTimeoutHookVariable = "VARNOLET_TEST_TIMEOUT_MS";

struct MeasuredRun {
  int exit_status = -1;    // -1 when the program was killed or did not end in time
  bool timed_out = false;
  std::string output;      // standard output's bytes
  long peak_rss_kib = -1;  // ru_maxrss of the program itself
  double seconds = 0;      // from start to reaping
};

namespace measured_run_internal {

using Clock = std::chrono::steady_clock;

inline int MsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

// Reads fd to its end or until deadline; false on timeout.
inline bool ReadToEnd(int fd, Clock::time_point deadline, std::string* out) {
  char buffer[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, MsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
    out->append(buffer, static_cast<size_t>(n));
  }
}

// Reaps pid with its resource use, waiting until deadline. False on timeout.
inline bool ReapBefore(pid_t pid, Clock::time_point deadline, int* status, rusage* usage) {
  for (;;) {
    const pid_t done = ::wait4(pid, status, WNOHANG, usage);
    if (done == pid) return true;
    if (done < 0 && errno != EINTR) return false;
    if (Clock::now() >= deadline) return false;
    ::usleep(2000);
  }
}

}  // namespace measured_run_internal

// Runs program with args; env holds "NAME=value" entries added to (or
// replacing in) the test's environment. Standard input is /dev/null, standard
// error is inherited. Kills the program after timeout_ms.
inline MeasuredRun RunMeasured(const std::string& program, const std::vector<std::string>& args,
                               const std::vector<std::string>& env = {},
                               int timeout_ms = 60000) {
  using namespace measured_run_internal;
  MeasuredRun result;
  // Orphans of the test's children come to the test, so it can reap them.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);

  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& add : env) {
      replaced |= entry.substr(0, entry.find('=')) == add.substr(0, add.find('='));
    }
    if (!replaced) environment.push_back(entry);
  }
  environment.insert(environment.end(), env.begin(), env.end());

  std::vector<std::string> words = {"sh", "-c", "\"$@\" >&3 3>&- </dev/null & echo $!", "sh",
                                    program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);

  int out_pipe[2];
  int pid_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) return result;
  if (::pipe2(pid_pipe, O_CLOEXEC) != 0) {
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    return result;
  }
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::milliseconds(timeout_ms);
  const pid_t shell = ::fork();
  if (shell == 0) {
    ::dup2(pid_pipe[1], STDOUT_FILENO);
    ::dup2(out_pipe[1], 3);
    ::execve("/bin/sh", argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(pid_pipe[1]);

  std::string pid_text;
  const bool got_pid = shell > 0 && ReadToEnd(pid_pipe[0], deadline, &pid_text);
  ::close(pid_pipe[0]);
  int status = 0;
  rusage usage{};
  if (shell > 0 && !ReapBefore(shell, deadline, &status, &usage)) {
    ::kill(shell, SIGKILL);
    ReapBefore(shell, Clock::now() + std::chrono::seconds(5), &status, &usage);
  }
  const pid_t pid = got_pid ? static_cast<pid_t>(std::atol(pid_text.c_str())) : 0;
  if (pid <= 0) {
    ::close(out_pipe[0]);
    return result;
  }

  result.timed_out = !ReadToEnd(out_pipe[0], deadline, &result.output);
  ::close(out_pipe[0]);
  if (result.timed_out || !ReapBefore(pid, deadline, &status, &usage)) {
    result.timed_out = true;
    ::kill(pid, SIGKILL);
    ReapBefore(pid, Clock::now() + std::chrono::seconds(5), &status, &usage);
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  result.peak_rss_kib = usage.ru_maxrss;
  if (!result.timed_out && WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  return result;
}

}  // namespace varnolet::testing

#endif  // VARNOLET_TESTS_MEASURED_RUN_H_
