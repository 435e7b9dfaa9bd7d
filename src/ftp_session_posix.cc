// The FTP protocol layer over POSIX sockets. See ftp_session.h for the
// contract; the comments here say how it is kept.
//
// Every socket is non-blocking and every wait is a poll(2) against a deadline
// on the steady clock. A connection remembers the commands it has sent whose
// final replies are still to come (pending), so that pipelined commands are
// always answered in order; a reply that does not fit the command it answers
// kills the connection, because from then on no later reply can be trusted.

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "ftp_reply.h"
#include "ftp_session.h"

namespace varnolet {

struct FtpHandleObject {
  enum class Kind { kRoot, kConnection };
  explicit FtpHandleObject(Kind k) : kind(k) {}
  virtual ~FtpHandleObject() = default;
  const Kind kind;
};

namespace {

using Clock = std::chrono::steady_clock;

// Block sizes. A file is read in kFileBlockBytes pieces for ASCII conversion
// (and for binary when sendfile is refused); sendfile is asked for at most
// kSendfileChunkBytes per call so the control connection is looked at between
// calls. Memory use does not depend on the file's size.
constexpr size_t kFileBlockBytes = kFtpFileBlockBytes;
constexpr size_t kSendfileChunkBytes = 4 * 1024 * 1024;
constexpr size_t kControlReadBytes = 16 * 1024;

Clock::time_point After(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }

// Milliseconds left until deadline for poll(2): 0 when past, clamped to int.
int MsUntil(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  // Round up so poll does not wake just before the deadline and spin.
  return static_cast<int>(std::min<long long>(left + 1, INT_MAX));
}

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // close(2) is not retried on EINTR: on Linux the descriptor is gone anyway.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// poll(2) on one descriptor, retried on EINTR with the time that is left.
// Returns the revents, 0 on timeout, -1 on a poll failure.
int PollOne(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, MsUntil(deadline));
    if (n > 0) return p.revents;
    if (n == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

void SetNoDelay(int fd) {
  const int one = 1;
  // Only latency depends on it; a failure changes nothing else.
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Makes the next close(2) of fd send RST, so the server sees an aborted
// transfer rather than a complete file.
void SetAbortiveClose(int fd) {
  const linger l{1, 0};
  (void)::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

// Starts a non-blocking connect. Returns the socket (connected or with the
// connect in progress), or an invalid one on failure.
UniqueFd StartConnect(const sockaddr* address, socklen_t length) {
  UniqueFd fd(::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fd;
  // After EINTR the connect goes on in the background, as after EINPROGRESS;
  // poll and SO_ERROR tell the outcome either way.
  if (::connect(fd.get(), address, length) < 0 && errno != EINPROGRESS && errno != EINTR) {
    fd.reset();
  }
  return fd;
}

// The outcome of a non-blocking connect once poll reported it writable.
bool ConnectSucceeded(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

// ASCII type: every LF that does not follow a CR becomes CR LF; CR LF and a
// lone CR stay as they are. A CR that ends one block counts for an LF that
// begins the next.
class AsciiEncoder {
 public:
  // Converts n bytes of in into out, which has room for 2 * n bytes.
  // Returns the number of bytes written.
  size_t Encode(const char* in, size_t n, char* out) {
    char* const out_start = out;
    size_t start = 0;
    while (start < n) {
      const void* hit = std::memchr(in + start, '\n', n - start);
      const size_t end = hit ? static_cast<size_t>(static_cast<const char*>(hit) - in) : n;
      std::memcpy(out, in + start, end - start);
      out += end - start;
      if (hit == nullptr) break;
      const bool after_cr = end > 0 ? in[end - 1] == '\r' : previous_was_cr_;
      if (!after_cr) *out++ = '\r';
      *out++ = '\n';
      start = end + 1;
    }
    if (n > 0) previous_was_cr_ = in[n - 1] == '\r';
    return static_cast<size_t>(out - out_start);
  }

 private:
  bool previous_was_cr_ = false;
};

struct Connection;

// The options every new root starts with (SetDefaultFtpOptions).
FtpOptions& DefaultOptions() {
  static FtpOptions options;
  return options;
}

struct Root : FtpHandleObject {
  Root() : FtpHandleObject(Kind::kRoot), options(DefaultOptions()) {}
  std::string agent;
  FtpOptions options;
  std::vector<Connection*> connections;  // open connections, owned
};

enum class Command { kUser, kPass, kPwd, kCwd, kType, kPassive, kStor, kQuit };

struct Connection : FtpHandleObject {
  Connection() : FtpHandleObject(Kind::kConnection) {}

  Root* root = nullptr;
  FtpOptions options;
  UniqueFd control;
  sockaddr_storage peer{};
  socklen_t peer_length = 0;
  FtpReplyParser parser;
  bool dead = false;
  // Commands sent whose final replies have not been read, oldest first.
  std::deque<Command> pending;
  char type = 0;            // 'A', 'I', or 0 before the first TYPE
  // The server reads no command while a transfer runs (see EarlyPassive).
  bool early_after_our_data = false;
  bool use_pasv = false;    // the server refused EPSV
  // The passive request: none, sent and unanswered, or answered with a port
  // that no STOR has used yet.
  enum class Passive { kNone, kRequested, kReady } passive = Passive::kNone;
  uint16_t passive_port = 0;

  // Gives up on the connection: from now on every call fails at once.
  void Kill() {
    dead = true;
    control.reset();
    pending.clear();
    passive = Passive::kNone;
  }

  // Sends bytes on the control connection, all of them before deadline.
  bool Send(std::string_view bytes, Clock::time_point deadline) {
    if (dead) return false;
    while (!bytes.empty()) {
      const ssize_t n = ::send(control.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n > 0) {
        bytes.remove_prefix(static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        const int revents = PollOne(control.get(), POLLOUT, deadline);
        if (revents > 0) continue;
      }
      Kill();
      return false;
    }
    return true;
  }

  // Sends commands (each given without its CR LF) in one write and notes
  // which replies they await.
  bool SendCommands(std::initializer_list<std::pair<Command, std::string>> commands) {
    std::string bytes;
    for (const auto& [command, line] : commands) {
      bytes += line;
      bytes += "\r\n";
    }
    if (!Send(bytes, After(options.reply_ms))) return false;
    for (const auto& entry : commands) pending.push_back(entry.first);
    return true;
  }

  // Reads whatever the control connection holds into the parser, without
  // waiting. False (and the connection dead) on end of stream, an error or a
  // malformed reply.
  bool ReadAvailable() {
    char buffer[kControlReadBytes];
    for (;;) {
      const ssize_t n = ::recv(control.get(), buffer, sizeof buffer, 0);
      if (n > 0) {
        parser.Feed(std::string_view(buffer, static_cast<size_t>(n)));
        if (parser.failed()) break;
        // Enough for the replies in hand; more is read when they are used.
        return true;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      break;
    }
    Kill();
    return false;
  }

  // The next reply, waiting until deadline. On failure the connection is dead.
  bool ReadReply(FtpReply* reply, Clock::time_point deadline) {
    if (dead) return false;
    while (!parser.Next(reply)) {
      if (parser.failed()) {
        Kill();
        return false;
      }
      const int revents = PollOne(control.get(), POLLIN, deadline);
      if (revents <= 0 || !ReadAvailable()) {
        Kill();
        return false;
      }
    }
    return true;
  }

  // The final reply of the oldest pending command: preliminary 1xx replies
  // are passed over. Pops that command. REQUIRES: !pending.empty().
  bool ReadFinal(FtpReply* reply, Clock::time_point deadline) {
    do {
      if (!ReadReply(reply, deadline)) return false;
    } while (IsPreliminary(reply->code));
    pending.pop_front();
    return true;
  }

  // Reads the replies of every pending command. An announced passive port is
  // dropped: it is not trusted past a command other than TYPE and STOR.
  bool Drain() {
    while (!pending.empty()) {
      const Command command = pending.front();
      FtpReply reply;
      if (!ReadFinal(&reply, After(options.reply_ms))) return false;
      // A refused EPSV means PASV from now on, asked for early or not.
      if (command == Command::kPassive && !use_pasv && reply.code >= 500) use_pasv = true;
    }
    passive = Passive::kNone;
    return true;
  }
};

Connection* AsConnection(FtpHandle handle) {
  if (handle == nullptr || handle->kind != FtpHandleObject::Kind::kConnection) return nullptr;
  Connection* c = static_cast<Connection*>(handle);
  return c->dead ? nullptr : c;
}

// Sends QUIT (unless dead), waits briefly for its reply, closes the socket and
// frees the connection.
void CloseConnection(Connection* c) {
  if (!c->dead) {
    const Clock::time_point deadline = After(c->options.quit_ms);
    c->options.reply_ms = c->options.quit_ms;
    if (c->SendCommands({{Command::kQuit, "QUIT"}})) {
      // The replies of anything still pending come first.
      while (!c->dead && !c->pending.empty()) {
        FtpReply reply;
        if (!c->ReadFinal(&reply, deadline)) break;
      }
    }
  }
  if (c->root != nullptr) {
    auto& list = c->root->connections;
    list.erase(std::remove(list.begin(), list.end(), c), list.end());
  }
  delete c;
}

// Servers whose greeting names them and that read no command while a
// transfer runs: an early EPSV waits for the transfer's end there.
constexpr std::string_view kSequentialServers[] = {"vsFTPd"};

// Reads the greeting: any 1xx (120 "ready in nnn minutes") is passed over
// within the one bound; 220 is the only welcome.
bool ReadGreeting(Connection* c) {
  const Clock::time_point deadline = After(c->options.reply_ms);
  FtpReply reply;
  do {
    if (!c->ReadReply(&reply, deadline)) return false;
  } while (IsPreliminary(reply.code));
  switch (c->options.early_passive) {
    case EarlyPassive::kAfterOurData:
      c->early_after_our_data = true;
      break;
    case EarlyPassive::kAuto:
      for (std::string_view name : kSequentialServers) {
        if (reply.text.find(name) != std::string::npos) c->early_after_our_data = true;
      }
      break;
    default:
      break;
  }
  return reply.code == 220;
}

bool LogIn(Connection* c, std::string_view user, std::string_view password) {
  FtpReply reply;
  if (!c->SendCommands({{Command::kUser, "USER " + std::string(user)}}) ||
      !c->ReadFinal(&reply, After(c->options.reply_ms))) {
    return false;
  }
  if (reply.code == 230) return true;
  if (reply.code != 331) return false;
  if (!c->SendCommands({{Command::kPass, "PASS " + std::string(password)}}) ||
      !c->ReadFinal(&reply, After(c->options.reply_ms))) {
    return false;
  }
  return reply.code == 230 || reply.code == 202;
}

// Connects to the first address of host that answers within the connect bound.
bool ConnectControl(Connection* c, std::string_view host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string host_text(host);
  const std::string port_text = std::to_string(port);
  if (::getaddrinfo(host_text.c_str(), port_text.c_str(), &hints, &found) != 0) return false;
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);

  const Clock::time_point deadline = After(c->options.connect_ms);
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_addrlen > sizeof c->peer) continue;
    UniqueFd fd = StartConnect(a->ai_addr, a->ai_addrlen);
    if (!fd.valid()) continue;
    const int revents = PollOne(fd.get(), POLLOUT, deadline);
    if (revents > 0 && ConnectSucceeded(fd.get())) {
      SetNoDelay(fd.get());
      c->control = std::move(fd);
      std::memcpy(&c->peer, a->ai_addr, a->ai_addrlen);
      c->peer_length = a->ai_addrlen;
      return true;
    }
    if (revents == 0) return false;  // the bound is spent
  }
  return false;
}

// The peer's address with another port: where the data connection goes.
void SetPort(sockaddr_storage* address, uint16_t port) {
  if (address->ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in*>(address)->sin_port = htons(port);
  } else if (address->ss_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(address)->sin6_port = htons(port);
  }
}

std::string PassiveCommand(const Connection& c) { return c.use_pasv ? "PASV" : "EPSV"; }

// Applies the final reply of a TYPE. False when the server refused it.
bool TypeAccepted(Connection* c, const FtpReply& reply, char type) {
  if (!IsCompletion(reply.code)) return false;
  c->type = type;
  return true;
}

// Makes sure a passive port is in hand: sends EPSV (or PASV) when none is
// requested, together with the TYPE change when one is due, and reads the
// replies up to the passive one. On success c->passive is kReady. A refused
// TYPE fails here, before any STOR.
bool ObtainPassivePort(Connection* c, char type) {
  for (;;) {
    if (c->passive == Connection::Passive::kReady) return true;
    if (c->passive == Connection::Passive::kNone) {
      bool sent;
      if (c->type != type) {
        sent = c->SendCommands({{Command::kType, std::string("TYPE ") + type},
                                {Command::kPassive, PassiveCommand(*c)}});
      } else {
        sent = c->SendCommands({{Command::kPassive, PassiveCommand(*c)}});
      }
      if (!sent) return false;
      c->passive = Connection::Passive::kRequested;
    }
    // Replies come in order: a TYPE sent with the request comes first.
    FtpReply reply;
    while (!c->pending.empty() && c->pending.front() != Command::kPassive) {
      const Command command = c->pending.front();
      if (!c->ReadFinal(&reply, After(c->options.reply_ms))) return false;
      if (command == Command::kType && !TypeAccepted(c, reply, type)) return false;
    }
    if (c->pending.empty()) {
      c->Kill();
      return false;
    }
    const bool was_pasv = c->use_pasv;
    if (!c->ReadFinal(&reply, After(c->options.reply_ms))) return false;
    c->passive = Connection::Passive::kNone;
    if (!was_pasv && reply.code == 229) {
      if (!ParseEpsvReply(reply.text, &c->passive_port)) return false;
      c->passive = Connection::Passive::kReady;
    } else if (was_pasv && reply.code == 227) {
      // Only the port counts: the data connection goes to the control
      // connection's peer whatever address the server names.
      PassiveAddress address;
      if (!ParsePasvReply(reply.text, &address)) return false;
      c->passive_port = address.port;
      c->passive = Connection::Passive::kReady;
    } else if (!was_pasv && reply.code >= 500 && reply.code < 600) {
      c->use_pasv = true;  // refused: PASV from now on
    } else if (reply.code >= 400 && reply.code < 600) {
      return false;
    } else {
      c->Kill();  // no passive reply at all: the sequence is lost
      return false;
    }
  }
}

// Where the bytes of a store come from: sendfile(2) for binary, so the bytes
// never pass through this process; blocks read and converted for ASCII (and
// for binary when the file system refuses sendfile).
class FileSource {
 public:
  FileSource(int fd, off_t size, bool ascii) : fd_(fd), size_(size), ascii_(ascii) {}

  // Sends what the socket takes now. Returns false on a read error, a file
  // that ended before its size, or a failed data connection. *progress tells
  // whether any byte went out.
  bool SendSome(int socket, bool* progress) {
    *progress = false;
    for (int round = 0; round < 64 && !done_; ++round) {
      if (!ascii_ && use_sendfile_) {
        const ssize_t n = ::sendfile(socket, fd_, &offset_, kSendfileChunkBytes);
        if (n > 0) {
          *progress = true;
        } else if (n == 0) {
          done_ = true;
        } else if (errno == EAGAIN) {
          return true;
        } else if (errno != EINTR) {
          // Some file systems cannot feed sendfile; they get the buffer.
          if (offset_ != 0 || (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)) {
            return false;
          }
          use_sendfile_ = false;
        }
        continue;
      }
      if (unsent_.empty()) {
        if (!Refill()) return false;
        continue;
      }
      const ssize_t n = ::send(socket, unsent_.data(), unsent_.size(), MSG_NOSIGNAL);
      if (n > 0) {
        unsent_.remove_prefix(static_cast<size_t>(n));
        *progress = true;
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return true;
      } else if (errno != EINTR) {
        return false;
      }
    }
    // A file that shrank while it was sent would arrive cut short.
    return !(done_ && offset_ < size_);
  }

  bool done() const { return done_; }

 private:
  // Reads the next block into unsent_, converted for ASCII. Sets done_ at
  // the end of the file.
  bool Refill() {
    if (!block_) {
      block_ = std::make_unique<char[]>(kFileBlockBytes);
      if (ascii_) converted_ = std::make_unique<char[]>(2 * kFileBlockBytes);
    }
    ssize_t n;
    do {
      n = ::read(fd_, block_.get(), kFileBlockBytes);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return false;
    offset_ += n;
    if (n == 0) {
      done_ = true;
    } else if (ascii_) {
      const size_t length = encoder_.Encode(block_.get(), static_cast<size_t>(n), converted_.get());
      unsent_ = std::string_view(converted_.get(), length);
    } else {
      unsent_ = std::string_view(block_.get(), static_cast<size_t>(n));
    }
    return true;
  }

  const int fd_;
  const off_t size_;
  const bool ascii_;
  bool use_sendfile_ = true;
  bool done_ = false;
  off_t offset_ = 0;  // bytes of the file taken so far
  std::unique_ptr<char[]> block_;  // the block as read
  std::unique_ptr<char[]> converted_;  // ASCII: the block as it goes out
  std::string_view unsent_;        // what is still to send of the block
  AsciiEncoder encoder_;
};

// Sends the next store's EPSV/PASV ahead of time, unless one is out already
// or the options say no. False when the connection died sending it.
bool RequestEarlyPassive(Connection* c) {
  if (c->options.early_passive == EarlyPassive::kOff ||
      c->passive != Connection::Passive::kNone) {
    return true;
  }
  if (!c->SendCommands({{Command::kPassive, PassiveCommand(*c)}})) return false;
  c->passive = Connection::Passive::kRequested;
  return true;
}

// One store, from the passive port in hand to the STOR's final reply and the
// server's end of the data connection.
// REQUIRES: c->passive == kReady. A due TYPE change is sent with the STOR.
bool Transfer(Connection* c, int file, off_t size, char type, std::string_view remote_name) {
  const bool type_pending = c->type != type;
  sockaddr_storage address = c->peer;
  SetPort(&address, c->passive_port);
  c->passive = Connection::Passive::kNone;  // a port serves one STOR

  const std::string stor = "STOR " + std::string(remote_name);
  const bool sent = type_pending
                        ? c->SendCommands({{Command::kType, std::string("TYPE ") + type},
                                           {Command::kStor, stor}})
                        : c->SendCommands({{Command::kStor, stor}});
  if (!sent) return false;

  // The data connection opens while the STOR travels.
  UniqueFd data = StartConnect(reinterpret_cast<const sockaddr*>(&address), c->peer_length);
  if (!data.valid()) {
    c->Kill();  // the server's STOR would wait for a connection that never comes
    return false;
  }
  SetNoDelay(data.get());

  FileSource source(file, size, type == 'A');
  bool connected = false;
  bool type_ok = !type_pending;
  bool accepted = false;  // 125/150 seen
  bool shut = false;      // every byte sent and our side shut down
  bool stopped = false;   // no more bytes go out (shut, or given up)
  bool data_eof = false;  // the server closed the data connection
  bool data_failed = false;
  bool finished = false;  // the STOR's final reply is in
  bool final_ok = false;  // ... and it was 226/250 after shut
  Clock::time_point connect_deadline = After(c->options.connect_ms);
  Clock::time_point progress_deadline = After(c->options.data_idle_ms);
  Clock::time_point reply_deadline = After(c->options.reply_ms);

  // Every way out before the last byte went and our side was shut down (a
  // timeout, a dead connection, a refusal) closes the data connection with
  // RST, so the server never takes a cut file for a whole one.
  struct AbortUnlessShut {
    UniqueFd& data;
    const bool& shut;
    ~AbortUnlessShut() {
      if (data.valid() && !shut) SetAbortiveClose(data.get());
    }
  } abort_unless_shut{data, shut};

  // Gives up sending. RST rather than FIN, so the server sees an aborted
  // transfer and never a complete file.
  auto abort_data = [&]() {
    if (data.valid() && !shut) SetAbortiveClose(data.get());
    data.reset();
    data_failed = true;
    if (!stopped) reply_deadline = After(c->options.reply_ms);
    stopped = true;
  };

  // Handles one reply, in command order. False when the replies no longer
  // line up with the commands (the connection is then dead).
  auto on_reply = [&](const FtpReply& reply) -> bool {
    const Command command = c->pending.front();
    if (command == Command::kType) {
      if (IsPreliminary(reply.code)) return true;
      c->pending.pop_front();
      type_ok = TypeAccepted(c, reply, type);
      // Refused: not one byte goes out in the wrong type. The STOR's own
      // replies are still read, to stay in step.
      if (!type_ok) abort_data();
      return true;
    }
    if (command != Command::kStor) {
      c->Kill();
      return false;
    }
    if (reply.code == 125 || reply.code == 150) {
      accepted = true;
      return true;
    }
    if (IsPreliminary(reply.code)) return true;  // 110 restart markers
    c->pending.pop_front();
    finished = true;
    if (reply.code == 226 || reply.code == 250) {
      // A completion before the whole file went out cannot be believed.
      final_ok = accepted && shut && !data_failed;
      if (!final_ok) abort_data();
      return true;
    }
    if (reply.code >= 400 && reply.code < 600) {
      abort_data();
      return true;
    }
    // Anything else (the 229 of a later EPSV, a 200, ...) means a reply went
    // missing: nothing read from now on can be matched to its command.
    c->Kill();
    return false;
  };

  while (!finished) {
    pollfd fds[2];
    fds[0] = {c->control.get(), POLLIN, 0};
    nfds_t count = 1;
    Clock::time_point deadline = reply_deadline;
    const bool sending = connected && type_ok && !stopped;
    if (data.valid()) {
      short events = 0;
      if (!connected) {
        events = POLLOUT;
        deadline = connect_deadline;
      } else if (sending) {
        events = POLLOUT;
        deadline = progress_deadline;  // a long upload is bounded by progress
      } else if (shut && !data_eof) {
        events = POLLIN;
      }
      if (events != 0) fds[count++] = {data.get(), events, 0};
    }

    int n;
    do {
      n = ::poll(fds, count, MsUntil(deadline));
    } while (n < 0 && errno == EINTR);
    if (n < 0 || (n == 0 && Clock::now() >= deadline)) {
      // A silent server or a stalled transfer: the STOR's outcome is unknown.
      c->Kill();
      return false;
    }

    if (fds[0].revents != 0) {
      if (!c->ReadAvailable()) return false;
      FtpReply reply;
      while (!finished && c->parser.Next(&reply)) {
        if (!on_reply(reply)) return false;
      }
      if (c->parser.failed()) {
        c->Kill();
        return false;
      }
      if (finished) break;
    }
    if (count < 2 || fds[1].revents == 0 || !data.valid()) continue;

    if (!connected) {
      if (!ConnectSucceeded(data.get())) {
        c->Kill();  // as above: the STOR waits for a connection
        return false;
      }
      connected = true;
      progress_deadline = After(c->options.data_idle_ms);
    } else if (sending) {
      bool progress = false;
      if (!source.SendSome(data.get(), &progress)) {
        abort_data();  // a read error, a shrunken file or a dropped connection
        continue;
      }
      if (progress) progress_deadline = After(c->options.data_idle_ms);
      if (source.done()) {
        if (::shutdown(data.get(), SHUT_WR) != 0) {
          abort_data();
          continue;
        }
        shut = true;
        stopped = true;
        reply_deadline = After(c->options.reply_ms);
        if (c->early_after_our_data && !RequestEarlyPassive(c)) return false;
      }
    } else if (shut && !data_eof) {
      char sink[4096];
      const ssize_t r = ::recv(data.get(), sink, sizeof sink, 0);
      if (r == 0) {
        data_eof = true;
        // The server is done with the transfer: the next port may be asked.
        if (!RequestEarlyPassive(c)) return false;
      } else if (r < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
        data_failed = true;  // a reset: the server may not have had it all
        data.reset();
      }
    }
  }
  if (!final_ok) return false;
  if (!RequestEarlyPassive(c)) return false;

  // The server closes its end once it has read ours; a reset instead, or no
  // end at all, leaves the file in doubt. The control connection is in step.
  const Clock::time_point eof_deadline = After(c->options.data_idle_ms);
  while (!data_eof) {
    const int revents = PollOne(data.get(), POLLIN, eof_deadline);
    if (revents <= 0) return false;
    char sink[4096];
    const ssize_t r = ::recv(data.get(), sink, sizeof sink, 0);
    if (r == 0) {
      data_eof = true;
    } else if (r < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return false;
    }
  }
  return true;
}

}  // namespace

FtpHandle OpenFtpRoot(std::string_view agent) {
  // sendfile(2) on a socket whose peer has gone raises SIGPIPE, and no flag
  // prevents it; a dropped connection must be a failed store, not the end of
  // the process. A handler the program installed itself is left alone.
  struct sigaction current;
  if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL &&
      !(current.sa_flags & SA_SIGINFO)) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    (void)::sigaction(SIGPIPE, &ignore, nullptr);
  }
  Root* root = new Root();
  root->agent.assign(agent);
  return root;
}

void SetDefaultFtpOptions(const FtpOptions& options) { DefaultOptions() = options; }

void SetFtpOptions(FtpHandle root, const FtpOptions& options) {
  if (root == nullptr || root->kind != FtpHandleObject::Kind::kRoot) return;
  static_cast<Root*>(root)->options = options;
}

FtpHandle ConnectFtp(FtpHandle root_handle, std::string_view host, uint16_t port,
                     std::string_view user, std::string_view password) {
  if (root_handle == nullptr || root_handle->kind != FtpHandleObject::Kind::kRoot) return nullptr;
  if (host.empty() || HasLineBreakOrNul(host) || HasLineBreakOrNul(user) ||
      HasLineBreakOrNul(password)) {
    return nullptr;
  }
  Root* root = static_cast<Root*>(root_handle);
  auto c = std::make_unique<Connection>();
  c->options = root->options;
  if (!ConnectControl(c.get(), host, port) || !ReadGreeting(c.get()) ||
      !LogIn(c.get(), user, password)) {
    return nullptr;  // the socket closes with c; no QUIT for a failed login
  }
  c->root = root;
  root->connections.push_back(c.get());
  return c.release();
}

bool GetFtpCurrentDir(FtpHandle handle, std::string* directory) {
  directory->clear();
  Connection* c = AsConnection(handle);
  if (c == nullptr || !c->Drain()) return false;
  FtpReply reply;
  if (!c->SendCommands({{Command::kPwd, "PWD"}}) ||
      !c->ReadFinal(&reply, After(c->options.reply_ms))) {
    return false;
  }
  return reply.code == 257 && ParsePwdReply(reply.text, directory);
}

bool SetFtpCurrentDir(FtpHandle handle, std::string_view directory) {
  Connection* c = AsConnection(handle);
  if (c == nullptr || HasLineBreakOrNul(directory) || !c->Drain()) return false;
  FtpReply reply;
  if (!c->SendCommands({{Command::kCwd, "CWD " + std::string(directory)}}) ||
      !c->ReadFinal(&reply, After(c->options.reply_ms))) {
    return false;
  }
  return IsCompletion(reply.code);
}

bool PutFtpFile(FtpHandle handle, std::string_view local_file, std::string_view remote_name,
                uint32_t flags) {
  Connection* c = AsConnection(handle);
  if (c == nullptr || HasLineBreakOrNul(remote_name) ||
      local_file.find('\0') != std::string_view::npos) {
    return false;
  }
  // The local file first: nothing is sent for a file that cannot be read.
  // O_NONBLOCK keeps open from hanging on a FIFO, which is then refused.
  const std::string path(local_file);
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!file.valid()) return false;
  struct stat st;
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;

  const char type = (flags & 3) == 1 ? 'A' : 'I';
  if (!ObtainPassivePort(c, type)) return false;
  return Transfer(c, file.get(), st.st_size, type, remote_name);
}

bool CloseFtpHandle(FtpHandle handle) {
  if (handle == nullptr) return false;
  if (handle->kind == FtpHandleObject::Kind::kConnection) {
    CloseConnection(static_cast<Connection*>(handle));
    return true;
  }
  Root* root = static_cast<Root*>(handle);
  while (!root->connections.empty()) CloseConnection(root->connections.back());
  delete root;
  return true;
}

}  // namespace varnolet
