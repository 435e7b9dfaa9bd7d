#include "scripted_ftp_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

#include <gtest/gtest.h>

namespace varnolet::testing {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxCommandBytes = 64 * 1024;
// A session whose client neither sends nor closes for this long ends.
constexpr int kIdleSessionMs = 60000;

int MsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

std::string AddressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text,
                sizeof text);
  } else if (address.ss_family == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text,
                sizeof text);
  }
  return text;
}

// A listening socket on the loopback of the given family, ephemeral port.
int ListenOnLoopback(bool ipv6, uint16_t* port) {
  const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_storage address{};
  socklen_t length;
  if (ipv6) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&address);
    a6->sin6_family = AF_INET6;
    a6->sin6_addr = in6addr_loopback;
    length = sizeof *a6;
  } else {
    auto* a4 = reinterpret_cast<sockaddr_in*>(&address);
    a4->sin_family = AF_INET;
    a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof *a4;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  return fd;
}

void SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, ScriptedFtpServer::kServerWaitMs) <= 0) return;
    } else {
      return;  // the client is gone; the session notices on its next read
    }
  }
}

std::string Quoted(const std::string& directory) {
  std::string quoted = "\"";
  for (char c : directory) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

}  // namespace

std::string PasvReplyFor(const std::string& host, uint16_t port) {
  std::string numbers = host;
  std::replace(numbers.begin(), numbers.end(), '.', ',');
  return "227 Entering Passive Mode (" + numbers + "," + std::to_string(port >> 8) + "," +
         std::to_string(port & 255) + ")";
}

// --- Session ---

void ScriptedFtpServer::Session::Reply(std::string_view text) {
  std::string line(text);
  line += "\r\n";
  Send(line);
}

void ScriptedFtpServer::Session::Send(std::string_view bytes) {
  if (!closed_ && !silent_) SendAll(fd_, bytes);
}

void ScriptedFtpServer::Session::Drop() {
  if (closed_) return;
  ::shutdown(fd_, SHUT_RDWR);
  closed_ = true;
}

void ScriptedFtpServer::Session::GoSilent() { silent_ = true; }

uint16_t ScriptedFtpServer::Session::OpenPassive() {
  if (passive_fd_ >= 0) ::close(passive_fd_);
  uint16_t port = 0;
  passive_fd_ = ListenOnLoopback(server_->ipv6_, &port);
  EXPECT_GE(passive_fd_, 0) << "cannot open a data listener";
  return port;
}

void ScriptedFtpServer::Session::CloseData() {
  if (data_fd_ >= 0) ::close(data_fd_);
  data_fd_ = -1;
}

bool ScriptedFtpServer::Session::CommandArrives(int timeout_ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (input_.find("\r\n") != std::string::npos) return true;
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0 && std::string_view(buffer, static_cast<size_t>(n)).find("\r\n") !=
                     std::string_view::npos) {
      return true;
    }
    if (n == 0 || Clock::now() >= deadline) return false;
    ::usleep(1000);
  }
}

bool ScriptedFtpServer::Session::ReceiveData(const std::string& name, size_t drop_after,
                                             bool leave_open) {
  Upload upload;
  upload.name = name;
  upload.type = type_;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kServerWaitMs);
  if (passive_fd_ < 0 || !server_->Wait(passive_fd_, POLLIN, MsLeft(deadline))) return false;
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  const int data = ::accept4(passive_fd_, reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_CLOEXEC);
  ::close(passive_fd_);
  passive_fd_ = -1;
  if (data < 0) return false;
  upload.peer = AddressText(peer);
  char buffer[65536];
  bool ended = false;
  while (upload.bytes.size() < drop_after) {
    if (!server_->Wait(data, POLLIN, MsLeft(deadline))) break;
    const size_t want = std::min(sizeof buffer, drop_after - upload.bytes.size());
    const ssize_t n = ::recv(data, buffer, want, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      upload.complete = n == 0;
      ended = true;
      break;
    }
    upload.bytes.append(buffer, static_cast<size_t>(n));
  }
  if (!ended && upload.bytes.size() >= drop_after) {
    const linger abortive{1, 0};
    ::setsockopt(data, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ended = true;
    leave_open = false;
  }
  CloseData();
  if (leave_open) {
    data_fd_ = data;
  } else {
    ::close(data);
  }
  {
    std::lock_guard<std::mutex> lock(server_->mutex_);
    server_->uploads_.push_back(upload);
  }
  return ended;
}

void ScriptedFtpServer::Session::Default(const std::string& verb, const std::string& argument) {
  if (verb.empty()) {
    Reply("220 Scripted server ready.");
  } else if (verb == "USER") {
    Reply("331 Password required.");
  } else if (verb == "PASS") {
    Reply("230 Logged in.");
  } else if (verb == "PWD") {
    Reply("257 " + Quoted(cwd_) + " is the current directory.");
  } else if (verb == "CWD") {
    if (argument.empty()) {
      Reply("550 No directory given.");
      return;
    }
    cwd_ = argument[0] == '/' ? argument : (cwd_ == "/" ? "" : cwd_) + "/" + argument;
    Reply("250 Directory changed.");
  } else if (verb == "TYPE") {
    if (argument == "A" || argument == "I") {
      type_ = argument[0];
      Reply("200 Type set to " + argument + ".");
    } else {
      Reply("504 Type not supported.");
    }
  } else if (verb == "EPSV") {
    const uint16_t port = OpenPassive();
    Reply("229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
  } else if (verb == "PASV") {
    if (server_->ipv6_) {
      Reply("502 PASV is for IPv4.");
      return;
    }
    Reply(PasvReplyFor("127.0.0.1", OpenPassive()));
  } else if (verb == "STOR") {
    if (passive_fd_ < 0) {
      Reply("425 Use EPSV or PASV first.");
      return;
    }
    Reply("150 Ok to send data.");
    if (ReceiveData(argument)) {
      Reply("226 Transfer complete.");
    } else {
      Reply("426 Transfer failed.");
    }
  } else if (verb == "QUIT") {
    Reply("221 Goodbye.");
    Drop();
  } else {
    Reply("502 Command not implemented.");
  }
}

// --- Server ---

ScriptedFtpServer::ScriptedFtpServer(bool ipv6) : ipv6_(ipv6) {
  listen_fd_ = ListenOnLoopback(ipv6, &port_);
  if (listen_fd_ < 0 || ::pipe2(stop_pipe_, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "the scripted server cannot listen on " << host();
    return;
  }
  thread_ = std::thread([this] { Run(); });
}

ScriptedFtpServer::~ScriptedFtpServer() {
  if (stop_pipe_[1] >= 0) {
    const char byte = 0;
    (void)!::write(stop_pipe_[1], &byte, 1);
  }
  if (thread_.joinable()) thread_.join();
  for (int fd : {listen_fd_, stop_pipe_[0], stop_pipe_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

void ScriptedFtpServer::On(const std::string& verb, Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handlers_[verb] = std::move(handler);
}

void ScriptedFtpServer::OnNth(const std::string& verb, int nth, Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  nth_handlers_[{verb, nth}] = std::move(handler);
}

void ScriptedFtpServer::Answer(const std::string& verb, const std::string& reply) {
  On(verb, [reply](Session& session, const std::string&) { session.Reply(reply); });
}

std::vector<std::string> ScriptedFtpServer::commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

std::vector<std::string> ScriptedFtpServer::verbs() const {
  std::vector<std::string> verbs;
  for (const std::string& line : commands()) {
    std::string verb = line.substr(0, line.find(' '));
    for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    verbs.push_back(verb);
  }
  return verbs;
}

std::vector<ScriptedFtpServer::Upload> ScriptedFtpServer::uploads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return uploads_;
}

bool ScriptedFtpServer::WaitUntilIdle(int timeout_ms) const {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    // A connection is either being served or still waits in the backlog.
    pollfd p{listen_fd_, POLLIN, 0};
    const bool backlog = ::poll(&p, 1, 0) > 0;
    if (!serving_.load() && !backlog) return true;
    if (Clock::now() >= deadline) return false;
    ::usleep(1000);
  }
}

bool ScriptedFtpServer::Wait(int fd, short events, int timeout_ms) const {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    pollfd p[2] = {{fd, events, 0}, {stop_pipe_[0], POLLIN, 0}};
    const int n = ::poll(p, 2, MsLeft(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || p[1].revents != 0) return false;
    return true;
  }
}

ScriptedFtpServer::Handler ScriptedFtpServer::FindHandler(const std::string& verb) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int nth = ++seen_[verb];
  if (auto it = nth_handlers_.find({verb, nth}); it != nth_handlers_.end()) return it->second;
  if (auto it = handlers_.find(verb); it != handlers_.end()) return it->second;
  return [verb](Session& session, const std::string& argument) {
    session.Default(verb, argument);
  };
}

void ScriptedFtpServer::Run() {
  for (;;) {
    // The next client; the destructor ends the wait.
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    const int n = ::poll(p, 2, kIdleSessionMs);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || p[1].revents != 0) return;
    if (n == 0) continue;
    serving_ = true;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      // Replies go out at once, as a server that flushes each reply does.
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ++connections_;
      Serve(fd);
      ::close(fd);
    }
    serving_ = false;
  }
}

void ScriptedFtpServer::Serve(int fd) {
  Session session(this, fd);
  FindHandler("")(session, "");
  std::string& input = session.input_;
  char buffer[4096];
  while (!session.closed_) {
    size_t end;
    while (!session.closed_ && (end = input.find("\r\n")) != std::string::npos) {
      const std::string line = input.substr(0, end);
      input.erase(0, end + 2);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(line);
      }
      std::string verb = line.substr(0, line.find(' '));
      for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      const std::string argument = line.size() > verb.size() ? line.substr(verb.size() + 1) : "";
      if (!session.silent_) FindHandler(verb)(session, argument);
    }
    if (session.closed_ || input.size() > kMaxCommandBytes) break;
    if (!Wait(fd, POLLIN, kIdleSessionMs)) break;
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    input.append(buffer, static_cast<size_t>(got));
  }
  if (session.passive_fd_ >= 0) ::close(session.passive_fd_);
  session.CloseData();
}

}  // namespace varnolet::testing
