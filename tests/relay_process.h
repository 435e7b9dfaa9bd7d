// The shaping relay (bench/relay.py) as a child process of a test: a loopback
// FTP relay in front of a server that delays every chunk, and stalls, cuts or
// resets connections by rule or by command. See bench/README.md for its rules
// (ACTION:KIND:DIR:BYTES[:NTH]) and commands.
//
// Start launches it (/usr/bin/python3) and waits, bounded, for its listening
// line. The relay ends when its standard input closes; the destructor closes
// it and, should the relay not end within a few seconds, kills it.

#ifndef VARNOLET_TESTS_RELAY_PROCESS_H_
#define VARNOLET_TESTS_RELAY_PROCESS_H_

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace varnolet::testing {

class RelayProcess {
 public:
  struct Options {
    uint16_t upstream_port = 0;
    int delay_ms = 0;                // one way, both directions
    std::vector<std::string> rules;  // --rule, in order
    long buffer_limit = 0;           // bytes read ahead per direction; 0: the relay's default
  };

  RelayProcess() = default;
  ~RelayProcess() { Stop(); }
  RelayProcess(const RelayProcess&) = delete;
  RelayProcess& operator=(const RelayProcess&) = delete;

  // On success returns true. On failure returns false with the reason in
  // *error; nothing is left running.
  bool Start(const Options& options, std::string* error) {
    std::vector<std::string> args = {kPython,
                                     std::string(VARNOLET_SOURCE_DIR) + "/bench/relay.py",
                                     "--upstream-port",
                                     std::to_string(options.upstream_port),
                                     "--delay-ms",
                                     std::to_string(options.delay_ms),
                                     "--quit-on-eof",
                                     "--max-seconds",
                                     "600"};
    for (const std::string& rule : options.rules) {
      args.push_back("--rule");
      args.push_back(rule);
    }
    if (options.buffer_limit > 0) {
      args.push_back("--buffer-limit");
      args.push_back(std::to_string(options.buffer_limit));
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
      *error = "pipe failed";
      return false;
    }
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      *error = "pipe failed";
      return false;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::execv(kPython, argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_relay_ = in[1];
    from_relay_ = out[0];
    if (pid_ < 0) {
      *error = "fork failed";
      Stop();
      return false;
    }
    const std::string line = ReadLine(kStartTimeoutMs);
    unsigned port = 0;
    if (std::sscanf(line.c_str(), "listening 127.0.0.1 %u", &port) != 1 || port == 0 ||
        port > 65535) {
      *error = "bench/relay.py did not start (first line: '" + line + "')";
      Stop();
      return false;
    }
    port_ = static_cast<uint16_t>(port);
    return true;
  }

  uint16_t port() const { return port_; }

  // Sends one command line ("stall data", "stats", ...) and returns the
  // relay's one-line answer (empty when none came in time).
  std::string Command(std::string_view command) {
    std::string line(command);
    line += '\n';
    std::string_view rest = line;
    while (!rest.empty()) {
      const ssize_t n = ::write(to_relay_, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return "";
      rest.remove_prefix(static_cast<size_t>(n));
    }
    return ReadLine(kCommandTimeoutMs);
  }

 private:
  static constexpr const char* kPython = "/usr/bin/python3";
  static constexpr int kStartTimeoutMs = 15000;
  static constexpr int kCommandTimeoutMs = 10000;
  static constexpr int kStopTimeoutMs = 5000;
  using Clock = std::chrono::steady_clock;

  static int MsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
  }

  // The next line from the relay without its LF; what came when the time is up.
  std::string ReadLine(int timeout_ms) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const size_t lf = pending_.find('\n');
      if (lf != std::string::npos) {
        std::string line = pending_.substr(0, lf);
        pending_.erase(0, lf + 1);
        return line;
      }
      pollfd p{from_relay_, POLLIN, 0};
      const int ready = ::poll(&p, 1, MsLeft(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;
      char buffer[512];
      const ssize_t n = ::read(from_relay_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      pending_.append(buffer, static_cast<size_t>(n));
    }
    std::string partial;
    partial.swap(pending_);
    return partial;
  }

  void Stop() {
    if (to_relay_ >= 0) ::close(to_relay_);  // --quit-on-eof: the relay ends
    to_relay_ = -1;
    if (pid_ > 0) {
      const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kStopTimeoutMs);
      bool reaped = false;
      while (!reaped && Clock::now() < deadline) {
        int status;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        reaped = done == pid_ || (done < 0 && errno != EINTR);
        if (!reaped) ::usleep(5000);
      }
      if (!reaped) {
        ::kill(pid_, SIGKILL);
        int status;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
      }
    }
    pid_ = -1;
    if (from_relay_ >= 0) ::close(from_relay_);
    from_relay_ = -1;
  }

  pid_t pid_ = -1;
  int to_relay_ = -1;
  int from_relay_ = -1;
  uint16_t port_ = 0;
  std::string pending_;
};

}  // namespace varnolet::testing

#endif  // VARNOLET_TESTS_RELAY_PROCESS_H_
