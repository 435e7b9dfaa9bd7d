// The real program against servers that misbehave on purpose: replies that
// never end or never stop growing, a passive reply naming another host, a
// control connection dropped mid-store, completions that come too early or
// lie, and a data connection nobody reads. For each, the run must end within
// its bounds with the console lines the program gives for a failed login or a
// failed store and exit status 2; every file not reported as failed must be
// complete on the server; peak memory must stay near that of an ordinary run.
//
// The program's test build runs them, with its bounds shortened to kBoundMs
// (measured_run.h).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "measured_run.h"
#include "scripted_ftp_server.h"
#include "console_lines.h"
#include "test_support.h"

namespace varnolet::testing {
namespace {

using Clock = std::chrono::steady_clock;
using Session = ScriptedFtpServer::Session;

// The shortened bound given to the program through the hook.
constexpr int kBoundMs = 1000;
// A run may take its bounds plus this much for everything else (sanitizer
// builds on a busy machine included).
constexpr double kSlackSeconds = 5.0;
// Peak memory of a hostile run over that of an ordinary one. A reply or a
// file held in memory (10 MB, 32 MB) would exceed it.
constexpr long kMemoryMarginKib = 6 * 1024;
// A run that takes longer is killed and fails: far more than any case needs,
// far less than the unshortened bounds.
constexpr int kRunLimitMs = 4 * kBoundMs + 30000;

// Bytes that differ from position to position, so a shifted or cut file shows.
std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 7;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(state >> 23);
  }
  return bytes;
}

// Waits (at most cap_ms) until the test has seen the program end.
void AwaitClientGone(const std::atomic<bool>& client_gone, int cap_ms) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(cap_ms);
  while (!client_gone.load() && Clock::now() < end) ::usleep(10 * 1000);
}

// Sends line (with CR LF) every 100 ms, for at most cap_ms, until the program
// has ended: a reply that keeps coming but never ends.
void Trickle(Session& session, const std::string& line, const std::atomic<bool>& client_gone,
             int cap_ms) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(cap_ms);
  while (!client_gone.load() && Clock::now() < end) {
    session.Reply(line);
    ::usleep(100 * 1000);
  }
}

// A data listener of the test's own, for a server that accepts the data
// connection and then never reads it.
class UnreadDataConnection {
 public:
  ~UnreadDataConnection() {
    for (int fd : {listen_fd_, data_fd_}) {
      if (fd >= 0) ::close(fd);
    }
  }

  // Opens the listener on 127.0.0.1; returns its port (0 on failure).
  uint16_t Listen() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listen_fd_, 4) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return 0;
    }
    return ntohs(address.sin_port);
  }

  // Accepts the data connection (bounded wait) and reads nothing.
  bool Accept() {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, ScriptedFtpServer::kServerWaitMs) <= 0) return false;
    data_fd_ = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    return data_fd_ >= 0;
  }

  bool accepted() const { return data_fd_ >= 0; }

  // After the client has given up: reads what it left and tells how the
  // connection ended. A clean end (EOF) would let a server take a cut file
  // for a complete one.
  void ReadRest() {
    char buffer[65536];
    const Clock::time_point end = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < end) {
      pollfd p{data_fd_, POLLIN, 0};
      if (::poll(&p, 1, 1000) <= 0) continue;
      const ssize_t n = ::recv(data_fd_, buffer, sizeof buffer, 0);
      if (n > 0) {
        bytes_ += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      clean_end_ = n == 0;
      ended_ = true;
      return;
    }
  }

  bool ended_cleanly() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_ && clean_end_;
  }

 private:
  int listen_fd_ = -1;
  int data_fd_ = -1;
  size_t bytes_ = 0;
  mutable std::mutex mutex_;
  bool ended_ = false;
  bool clean_end_ = false;
};

// The server's side of a case: what its handlers share with the test.
struct ServerSide {
  std::atomic<bool> client_gone{false};  // the program has ended
  UnreadDataConnection unread;
};

// What the program must report.
enum class Outcome {
  kConnectFails,      // the login fails
  kFirstStoreFails,   // a.bin fails, the connection stays usable, b.bin is stored
  kBothStoresFail,    // a.bin fails and kills the connection; b.bin fails at once
  kEverythingStored,  // nothing fails
};

struct HostileCase {
  const char* name;
  size_t first_file_bytes;  // size of a.bin (b.bin is small)
  bool waits_for_a_bound;   // needs the shortened bounds
  Outcome outcome;
  // Scripts the server.
  std::function<void(ScriptedFtpServer&, ServerSide&)> script;
};

std::string Repeat(const std::string& text, size_t times) {
  std::string out;
  out.reserve(text.size() * times);
  for (size_t i = 0; i < times; ++i) out += text;
  return out;
}

// Test names and failure messages show the case's name.
void PrintTo(const HostileCase& c, std::ostream* out) { *out << c.name; }

const std::string k10MB(10 * 1024 * 1024, 'x');

const HostileCase kCases[] = {
    {"GreetingThatNeverEnds", 1000, true, Outcome::kConnectFails,
     [](ScriptedFtpServer& server, ServerSide& side) {
       server.On("", [&side](Session& s, const std::string&) {
         s.Reply("220-Welcome.");
         Trickle(s, "220-Still starting up...", side.client_gone, kRunLimitMs);
       });
     }},
    {"GreetingLineOf10MB", 1000, false, Outcome::kConnectFails,
     [](ScriptedFtpServer& server, ServerSide&) {
       server.On("", [](Session& s, const std::string&) { s.Reply("220 " + k10MB); });
     }},
    {"StoreReplyLineOf10MB", 1000, false, Outcome::kBothStoresFail,
     [](ScriptedFtpServer& server, ServerSide&) {
       server.OnNth("STOR", 1, [](Session& s, const std::string& name) {
         s.Reply("150 Ok to send data.");
         s.ReceiveData(name);
         s.Reply("226 " + k10MB);
       });
     }},
    {"StoreReplyThatNeverEnds", 1000, true, Outcome::kBothStoresFail,
     [](ScriptedFtpServer& server, ServerSide& side) {
       server.OnNth("STOR", 1, [&side](Session& s, const std::string& name) {
         s.Reply("150 Ok to send data.");
         s.ReceiveData(name);
         s.Reply("226-Transfer complete, but first some news.");
         Trickle(s, "226-More news.", side.client_gone, kRunLimitMs);
       });
     }},
    // Preliminary replies without end: each is complete, none is final.
    {"GreetingOfEndlessPreliminaries", 1000, true, Outcome::kConnectFails,
     [](ScriptedFtpServer& server, ServerSide& side) {
       server.On("", [&side](Session& s, const std::string&) {
         Trickle(s, "120 Ready in a minute.", side.client_gone, kRunLimitMs);
       });
     }},
    {"StoreOfEndlessPreliminaries", 1000, true, Outcome::kBothStoresFail,
     [](ScriptedFtpServer& server, ServerSide& side) {
       server.OnNth("STOR", 1, [&side](Session& s, const std::string& name) {
         s.Reply("150 Ok to send data.");
         s.ReceiveData(name);
         Trickle(s, "110 MARK 0 = 0", side.client_gone, kRunLimitMs);
       });
     }},
    // A flood of short complete replies after the login: none answers what
    // was asked, and none may pile up in memory.
    {"FloodOfRepliesAfterLogin", 1000, false, Outcome::kBothStoresFail,
     [](ScriptedFtpServer& server, ServerSide&) {
       server.Answer("PASS", "230 Logged in.\r\n" + Repeat("200 Ok.\r\n", 1 << 20));
     }},
    // EPSV refused, so PASV is used; its reply names 127.0.0.2, where nothing
    // listens. The data must still go to the server's own address.
    {"PassiveReplyNamesAnotherHost", 1000, false, Outcome::kEverythingStored,
     [](ScriptedFtpServer& server, ServerSide&) {
       server.Answer("EPSV", "500 EPSV not understood.");
       server.On("PASV", [](Session& s, const std::string&) {
         s.Reply(PasvReplyFor("127.0.0.2", s.OpenPassive()));
       });
     }},
    {"ControlDroppedAfter150", 1000, false, Outcome::kBothStoresFail,
     [](ScriptedFtpServer& server, ServerSide&) {
       server.OnNth("STOR", 1, [](Session& s, const std::string&) {
         s.Reply("150 Ok to send data.");
         s.Drop();
       });
     }},
    // 32 MB cannot all be on its way before the server reads.
    {"CompletionBeforeTheData", 32 << 20, false, Outcome::kFirstStoreFails,
     [](ScriptedFtpServer& server, ServerSide&) {
       server.OnNth("STOR", 1, [](Session& s, const std::string& name) {
         s.Reply("150 Ok to send data.");
         s.Reply("226 Transfer complete.");
         s.ReceiveData(name);
       });
     }},
    // The server resets the data connection after 64 KiB and then claims the
    // file arrived: during the transfer, and after the client's end is sent.
    {"CompletionAfterResetMidTransfer", 32 << 20, false, Outcome::kFirstStoreFails,
     [](ScriptedFtpServer& server, ServerSide&) {
       server.OnNth("STOR", 1, [](Session& s, const std::string& name) {
         s.Reply("150 Ok to send data.");
         s.ReceiveData(name, 64 * 1024);
         s.Reply("226 Transfer complete.");
       });
     }},
    {"CompletionAfterResetOfASmallFile", 200 * 1000, false, Outcome::kFirstStoreFails,
     [](ScriptedFtpServer& server, ServerSide&) {
       server.OnNth("STOR", 1, [](Session& s, const std::string& name) {
         s.Reply("150 Ok to send data.");
         // Let the whole file arrive in the socket buffers first.
         ::usleep(200 * 1000);
         s.ReceiveData(name, 100 * 1000);
         s.Reply("226 Transfer complete.");
       });
     }},
    // 226 but the data connection stays open: the file is in doubt.
    {"CompletionWithoutClosingTheData", 1000, true, Outcome::kFirstStoreFails,
     [](ScriptedFtpServer& server, ServerSide&) {
       server.OnNth("STOR", 1, [](Session& s, const std::string& name) {
         s.Reply("150 Ok to send data.");
         s.ReceiveData(name, SIZE_MAX, /*leave_open=*/true);
         s.Reply("226 Transfer complete.");
       });
     }},
    {"StoreAnsweredOutOfStep", 1000, false, Outcome::kBothStoresFail,
     [](ScriptedFtpServer& server, ServerSide&) {
       server.OnNth("STOR", 1, [](Session& s, const std::string&) {
         s.Reply("229 Entering Extended Passive Mode (|||4242|)");
       });
     }},
    // The server accepts the data connection and never reads it.
    {"DataConnectionNeverRead", 32 << 20, true, Outcome::kBothStoresFail,
     [](ScriptedFtpServer& server, ServerSide& side) {
       server.OnNth("EPSV", 1, [&side](Session& s, const std::string&) {
         s.Reply("229 Entering Extended Passive Mode (|||" +
                 std::to_string(side.unread.Listen()) + "|)");
       });
       server.OnNth("STOR", 1, [&side](Session& s, const std::string&) {
         s.Reply("150 Ok to send data.");
         if (!side.unread.Accept()) return;
         // Hold it unread until the program has given up and ended.
         AwaitClientGone(side.client_gone, kRunLimitMs);
         side.unread.ReadRest();
       });
     }},
};

class HostileServerTest : public ::testing::TestWithParam<HostileCase> {
 protected:
  static std::vector<std::string> HookEnv() {
    return {std::string(kTimeoutHookVariable) + "=" + std::to_string(kBoundMs)};
  }

  static std::string Ini(const ScriptedFtpServer& server, const TempDir& local) {
    return "[0]\nLocalDir=" + local.path() + "/\nHost=" + server.host() +
           "\nPort=" + std::to_string(server.port()) + "\nUserID=web\nPassword=pw\n";
  }

  // Peak memory of an ordinary run of two small files against a server that
  // behaves, measured once.
  static long OrdinaryPeakKib() {
    static long peak = -1;
    if (peak < 0) {
      ScriptedFtpServer server;
      TempDir local;
      TempDir bin;
      const std::vector<std::string> files = {local.WriteFile("a.bin", Pattern(1000, 1)),
                                              local.WriteFile("b.bin", Pattern(5000, 2))};
      const MeasuredRun run =
          RunMeasured(InstallHookedProgram(bin, Ini(server, local)), files, HookEnv(), kRunLimitMs);
      EXPECT_EQ(run.exit_status, 0) << run.output;
      peak = run.peak_rss_kib;
    }
    return peak;
  }

  TempDir local_;
};

TEST_P(HostileServerTest, EndsInBoundsAndReportsTheFailure) {
  const HostileCase& c = GetParam();
  const std::string a_bytes = Pattern(c.first_file_bytes, 1);
  const std::string b_bytes = Pattern(5000, 2);
  const std::string a = local_.WriteFile("a.bin", a_bytes);
  const std::string b = local_.WriteFile("b.bin", b_bytes);
  const long ordinary_kib = OrdinaryPeakKib();

  MeasuredRun run;
  ServerSide side;
  {
    ScriptedFtpServer server;
    c.script(server, side);
    TempDir bin;
    run = RunMeasured(InstallHookedProgram(bin, Ini(server, local_)), {a, b}, HookEnv(), kRunLimitMs);
    side.client_gone = true;

    const std::string host = server.host();
    std::vector<std::string> lines = {host + kConnecting};
    switch (c.outcome) {
      case Outcome::kConnectFails:
        lines.push_back(kConnectFailed);
        break;
      case Outcome::kFirstStoreFails:
        lines.insert(lines.end(), {a + kUploading, kUploadFailed, b + kUploading});
        break;
      case Outcome::kBothStoresFail:
        lines.insert(lines.end(), {a + kUploading, kUploadFailed, b + kUploading, kUploadFailed});
        break;
      case Outcome::kEverythingStored:
        lines.insert(lines.end(), {a + kUploading, b + kUploading});
        break;
    }
    if (c.outcome != Outcome::kConnectFails) lines.push_back(host + kDisconnecting);
    EXPECT_EQ(run.output, Lines(lines));
    EXPECT_EQ(run.exit_status, c.outcome == Outcome::kEverythingStored ? 0 : 2);
    EXPECT_FALSE(run.timed_out);

    // No file the program passed over in silence may be missing or cut short,
    // and every data connection went to the server's own address.
    ASSERT_TRUE(server.WaitUntilIdle());
    std::vector<std::string> stored;
    for (const ScriptedFtpServer::Upload& upload : server.uploads()) {
      EXPECT_EQ(upload.peer, "127.0.0.1") << upload.name;
      if (upload.complete) stored.push_back(upload.name);
      if (upload.complete && upload.name == "b.bin") {
        EXPECT_EQ(upload.bytes, b_bytes);
      }
      if (upload.complete && upload.name == "a.bin" && c.outcome == Outcome::kEverythingStored) {
        EXPECT_EQ(upload.bytes, a_bytes);
      }
    }
    if (c.outcome == Outcome::kEverythingStored) {
      EXPECT_EQ(stored, (std::vector<std::string>{"a.bin", "b.bin"}));
    }
    if (c.outcome == Outcome::kFirstStoreFails) {
      EXPECT_NE(std::find(stored.begin(), stored.end(), "b.bin"), stored.end());
    }
    // Once the connection is dead nothing more goes to the server.
    if (c.outcome == Outcome::kBothStoresFail || c.outcome == Outcome::kConnectFails) {
      const std::vector<std::string> verbs = server.verbs();
      EXPECT_EQ(std::count(verbs.begin(), verbs.end(), "QUIT"), 0);
      EXPECT_LE(std::count(verbs.begin(), verbs.end(), "STOR"), 1);
    }
  }

  // Within its bounds: at most one bound waited for (a dead connection fails
  // every later call at once), plus slack.
  const double bound_seconds = kBoundMs / 1000.0;
  EXPECT_LT(run.seconds, (c.waits_for_a_bound ? bound_seconds : 0) + bound_seconds + kSlackSeconds);
  if (c.waits_for_a_bound) {
    EXPECT_GE(run.seconds, bound_seconds * 0.9);
  }

  EXPECT_LT(run.peak_rss_kib, ordinary_kib + kMemoryMarginKib)
      << "ordinary run: " << ordinary_kib << " KiB";

  // A store given up mid-transfer must not look complete to the server.
  if (side.unread.accepted()) {
    EXPECT_FALSE(side.unread.ended_cleanly())
        << "the abandoned data connection ended with FIN: a server takes the cut file for "
           "a complete one";
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileServerTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace varnolet::testing
