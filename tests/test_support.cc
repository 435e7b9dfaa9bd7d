#include "test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace varnolet::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/varnolet-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string TempDir::WriteFile(const std::string& relative, const std::string& content) const {
  const fs::path full = fs::path(path_) / relative;
  fs::create_directories(full.parent_path());
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  EXPECT_TRUE(out.good()) << "cannot write " << full;
  return full.string();
}

std::string ReadFileOrDie(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(path, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

uint16_t UnusedLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

std::string InstallProgram(const TempDir& dir) {
  const fs::path target = fs::path(dir.path()) / "varnolet";
  fs::copy_file(VARNOLET_BINARY, target, fs::copy_options::overwrite_existing);
  return target.string();
}

std::string InstallHookedProgram(const TempDir& dir, const std::string& ini) {
  const fs::path target = fs::path(dir.path()) / "varnolet";
  fs::copy_file(VARNOLET_HOOKED_BINARY, target, fs::copy_options::overwrite_existing);
  dir.WriteFile("varnolet.ini", ini);
  return target.string();
}

std::string InstallProgram(const TempDir& dir, const std::string& ini) {
  std::string program = InstallProgram(dir);
  dir.WriteFile("varnolet.ini", ini);
  return program;
}

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         StdoutMode mode, int timeout_seconds) {
  ProgramResult result;
  int out_pipe[2] = {-1, -1};
  const bool use_pipe = mode == StdoutMode::kCapture || mode == StdoutMode::kBrokenPipe;
  if (use_pipe && ::pipe2(out_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return result;
  }
  // The reader goes before the child starts, so its very first write fails.
  if (mode == StdoutMode::kBrokenPipe) ::close(out_pipe[0]);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null_in = ::open("/dev/null", O_RDONLY);
    ::dup2(null_in, STDIN_FILENO);
    switch (mode) {
      case StdoutMode::kCapture:
      case StdoutMode::kBrokenPipe:
        ::dup2(out_pipe[1], STDOUT_FILENO);
        break;
      case StdoutMode::kClosed:
        ::close(STDOUT_FILENO);
        break;
      case StdoutMode::kDevFull: {
        const int full = ::open("/dev/full", O_WRONLY);
        ::dup2(full, STDOUT_FILENO);
        break;
      }
    }
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  if (use_pipe) ::close(out_pipe[1]);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  bool timed_out = false;
  if (mode == StdoutMode::kCapture) {
    char buffer[65536];
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) {
        timed_out = true;
        break;
      }
      pollfd pfd{out_pipe[0], POLLIN, 0};
      const int ready = ::poll(&pfd, 1, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) continue;
      const ssize_t n = ::read(out_pipe[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      result.output.append(buffer, static_cast<size_t>(n));
    }
    ::close(out_pipe[0]);
  }

  int status = 0;
  if (timed_out) ::kill(pid, SIGKILL);
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) break;
    if (!timed_out && std::chrono::steady_clock::now() >= deadline) {
      timed_out = true;
      ::kill(pid, SIGKILL);
    }
    ::usleep(2000);
  }
  if (timed_out) ADD_FAILURE() << program << " did not end within " << timeout_seconds << " s";
  if (WIFEXITED(status) && !timed_out) result.exit_status = WEXITSTATUS(status);
  return result;
}

}  // namespace varnolet::testing
