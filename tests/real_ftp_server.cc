#include "real_ftp_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace varnolet::testing {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPython = "/usr/bin/python3";
constexpr int kStartTimeoutMs = 15000;
constexpr int kStopTimeoutMs = 3000;

// Waits for pid to end until deadline. True when it has been reaped.
bool ReapBefore(pid_t pid, Clock::time_point deadline, int* status) {
  for (;;) {
    const pid_t done = ::waitpid(pid, status, WNOHANG);
    if (done == pid) return true;
    if (done < 0 && errno != EINTR) return true;  // not ours any more
    if (Clock::now() >= deadline) return false;
    ::usleep(5000);
  }
}

}  // namespace

RealFtpServer::RealFtpServer(Options options) : options_(std::move(options)) {}

RealFtpServer::~RealFtpServer() {
  Stop();
  if (!root_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
}

void RealFtpServer::Stop() {
  if (pid_ <= 0) return;
  int status = 0;
  ::kill(pid_, SIGTERM);
  if (!ReapBefore(pid_, Clock::now() + std::chrono::milliseconds(kStopTimeoutMs), &status)) {
    ::kill(pid_, SIGKILL);
    ReapBefore(pid_, Clock::now() + std::chrono::milliseconds(kStopTimeoutMs), &status);
  }
  pid_ = -1;
}

bool RealFtpServer::Start(std::string* error) {
  if (root_.empty()) {
    const char* base = ::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/varnolet-ftp-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      *error = "mkdtemp failed for the FTP root";
      return false;
    }
    root_ = pattern;
  }

  const std::string script = std::string(VARNOLET_SOURCE_DIR) + "/tests/pyftpd_server.py";
  std::vector<std::string> args = {kPython,    script,         "--user", options_.user,
                                   "--password", options_.password, "--root", root_};
  if (options_.ascii_keeps_crlf) args.push_back("--keep-crlf");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    *error = "pipe failed";
    return false;
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(out[0]);
    ::close(out[1]);
    *error = "fork failed";
    return false;
  }
  if (pid == 0) {
    // Should the test process die without its destructors, the server goes too.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(out[1], STDOUT_FILENO);
    const int null_in = ::open("/dev/null", O_RDONLY);
    if (null_in >= 0) ::dup2(null_in, STDIN_FILENO);
    ::execv(kPython, argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  pid_ = pid;

  // The first line is "port N".
  std::string line;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (line.find('\n') == std::string::npos) {
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0) break;
    pollfd p{out[0], POLLIN, 0};
    const int n = ::poll(&p, 1, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    char buffer[256];
    const ssize_t got = ::read(out[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    line.append(buffer, static_cast<size_t>(got));
  }
  ::close(out[0]);

  unsigned port = 0;
  if (std::sscanf(line.c_str(), "port %u", &port) != 1 || port == 0 || port > 65535) {
    Stop();
    *error = "the pyftpdlib server did not start (" + std::string(kPython) + " " + script +
             "): is python3-pyftpdlib installed? See its message above.";
    return false;
  }
  port_ = static_cast<uint16_t>(port);
  return true;
}

std::optional<std::string> RealFtpServer::ReadFile(const std::string& relative) const {
  std::ifstream in(std::filesystem::path(root_) / relative, std::ios::binary);
  if (!in.good()) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace varnolet::testing
