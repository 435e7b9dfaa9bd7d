#include "ftp_session.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ftp_reply.h"
#include "real_ftp_server.h"
#include "scripted_ftp_server.h"
#include "test_support.h"

namespace varnolet {
namespace {

using testing::RealFtpServer;
using testing::ScriptedFtpServer;
using testing::TempDir;
using testing::UnusedLoopbackPort;
using Session = ScriptedFtpServer::Session;
using Verbs = std::vector<std::string>;

constexpr uint32_t kAscii = 0x80000001u;
constexpr uint32_t kBinary = 0x80000002u;

// Bounds short enough that the silence tests take a fraction of a second.
FtpOptions ShortBounds() {
  FtpOptions t;
  t.connect_ms = 2000;
  t.reply_ms = 300;
  t.data_idle_ms = 300;
  t.quit_ms = 300;
  return t;
}

// Bounds for tests where every answer comes: long enough for a loaded machine.
FtpOptions NormalBounds() {
  FtpOptions t;
  t.connect_ms = 5000;
  t.reply_ms = 5000;
  t.data_idle_ms = 5000;
  t.quit_ms = 2000;
  return t;
}

int OpenDescriptors() {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

// The text as the ASCII type sends it: LF without CR before it becomes CR LF.
std::string AsciiOnTheWire(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

size_t Count(const Verbs& verbs, const std::string& verb) {
  return static_cast<size_t>(std::count(verbs.begin(), verbs.end(), verb));
}

bool Ipv6LoopbackWorks() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

class FtpSessionTest : public ::testing::Test {
 protected:
  FtpSessionTest() : root_(OpenFtpRoot("ftp_session_test")) {
    SetFtpOptions(root_, NormalBounds());
  }
  ~FtpSessionTest() override { CloseFtpHandle(root_); }

  FtpHandle Login(const char* user = "web", const char* password = "pw") {
    return ConnectFtp(root_, server_.host(), server_.port(), user, password);
  }

  ScriptedFtpServer server_;
  TempDir dir_;
  FtpHandle root_;
};

// --- Login ---

TEST_F(FtpSessionTest, LoginSequences) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> answers;  // verb -> reply
    bool ok;
    Verbs verbs;
  };
  const std::vector<Case> kCases = {
      {"plain", {}, true, {"USER", "PASS"}},
      {"230 after USER", {{"USER", "230 No password needed."}}, true, {"USER"}},
      {"202 after PASS", {{"PASS", "202 Already logged in."}}, true, {"USER", "PASS"}},
      {"530 after PASS", {{"PASS", "530 Login incorrect."}}, false, {"USER", "PASS"}},
      {"530 after USER", {{"USER", "530 Not allowed."}}, false, {"USER"}},
      {"332 account", {{"PASS", "332 Need account."}}, false, {"USER", "PASS"}},
      {"421 greeting", {{"", "421 Too many users."}}, false, {}},
      {"multi-line greeting and 230",
       {{"", "220-Welcome\r\n220-to the\r\n220 server"}, {"PASS", "230-Hello\r\n230 Ok"}},
       true,
       {"USER", "PASS"}},
      {"120 before 220", {{"", "120 In a moment.\r\n220 Ready."}}, true, {"USER", "PASS"}},
  };
  for (const Case& c : kCases) {
    ScriptedFtpServer server;
    for (const auto& [verb, reply] : c.answers) server.Answer(verb, reply);
    FtpHandle connection = ConnectFtp(root_, server.host(), server.port(), "u", "p");
    EXPECT_EQ(c.ok, connection != nullptr) << c.name;
    if (connection != nullptr) {
      std::string directory;
      EXPECT_TRUE(GetFtpCurrentDir(connection, &directory)) << c.name;
      EXPECT_TRUE(CloseFtpHandle(connection));
    }
    ASSERT_TRUE(server.WaitUntilIdle()) << c.name;
    Verbs verbs = server.verbs();
    if (c.ok) {
      EXPECT_EQ("QUIT", verbs.back()) << c.name;
      verbs.resize(verbs.size() - 2);  // PWD, QUIT
    }
    EXPECT_EQ(c.verbs, verbs) << c.name;
  }
}

TEST_F(FtpSessionTest, ConnectsByNameAndOverIpv6) {
  FtpHandle by_name = ConnectFtp(root_, "localhost", server_.port(), "u", "p");
  ASSERT_NE(nullptr, by_name);
  CloseFtpHandle(by_name);

  if (!Ipv6LoopbackWorks()) GTEST_SKIP() << "no IPv6 loopback here";
  ScriptedFtpServer server6(/*ipv6=*/true);
  const std::string file = dir_.WriteFile("six.bin", "over IPv6");
  FtpHandle c = ConnectFtp(root_, "::1", server6.port(), "u", "p");
  ASSERT_NE(nullptr, c);
  EXPECT_TRUE(PutFtpFile(c, file, "six.bin", kBinary));
  CloseFtpHandle(c);
  const auto uploads = server6.uploads();
  ASSERT_EQ(1u, uploads.size());
  EXPECT_EQ("::1", uploads[0].peer);
  EXPECT_EQ("over IPv6", uploads[0].bytes);
}

// (No unknown host name here: resolving one would ask a name server off this
// machine.)
TEST_F(FtpSessionTest, EmptyHostNullRootOrClosedPortFails) {
  EXPECT_EQ(nullptr, ConnectFtp(root_, "", server_.port(), "u", "p"));
  EXPECT_EQ(nullptr, ConnectFtp(nullptr, server_.host(), server_.port(), "u", "p"));
  EXPECT_EQ(nullptr, ConnectFtp(root_, server_.host(), 0, "u", "p"));
}

// --- Nothing is sent for bad arguments ---

TEST_F(FtpSessionTest, LineBreaksAndNulInTextsAreRefusedWithNothingSent) {
  const std::string kBad[] = {"a\rb", "a\nb", std::string("a\0b", 3), "\r\n", "x\n"};
  for (const std::string& bad : kBad) {
    EXPECT_EQ(nullptr, ConnectFtp(root_, server_.host(), server_.port(), bad, "p"));
    EXPECT_EQ(nullptr, ConnectFtp(root_, server_.host(), server_.port(), "u", bad));
  }
  ASSERT_TRUE(server_.WaitUntilIdle());
  EXPECT_EQ(0, server_.connections());

  const std::string file = dir_.WriteFile("f.txt", "x");
  FtpHandle c = Login();
  ASSERT_NE(nullptr, c);
  for (const std::string& bad : kBad) {
    EXPECT_FALSE(SetFtpCurrentDir(c, bad));
    EXPECT_FALSE(PutFtpFile(c, file, bad, kBinary));
    EXPECT_FALSE(PutFtpFile(c, file, bad, kAscii));
  }
  EXPECT_FALSE(PutFtpFile(c, std::string("f\0.txt", 6), "f.txt", kBinary));
  CloseFtpHandle(c);
  ASSERT_TRUE(server_.WaitUntilIdle());
  EXPECT_EQ((Verbs{"USER", "PASS", "QUIT"}), server_.verbs());
}

TEST_F(FtpSessionTest, UnusableLocalFileFailsWithNothingSent) {
  std::vector<std::string> bad = {dir_.path() + "/missing.txt", dir_.path(), "",
                                  dir_.path() + "/missing/dir/f"};
  const std::string fifo = dir_.path() + "/fifo";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  bad.push_back(fifo);
  if (::geteuid() != 0) {  // root reads any file
    const std::string locked = dir_.WriteFile("locked.txt", "secret");
    ASSERT_EQ(0, ::chmod(locked.c_str(), 0));
    bad.push_back(locked);
  }
  FtpHandle c = Login();
  ASSERT_NE(nullptr, c);
  for (const std::string& path : bad) {
    EXPECT_FALSE(PutFtpFile(c, path, "name", kBinary)) << path;
    EXPECT_FALSE(PutFtpFile(c, path, "name", kAscii)) << path;
  }
  // The connection is as good as before.
  const std::string good = dir_.WriteFile("good.txt", "ok");
  EXPECT_TRUE(PutFtpFile(c, good, "good.txt", kBinary));
  CloseFtpHandle(c);
  ASSERT_TRUE(server_.WaitUntilIdle());
  const Verbs verbs = server_.verbs();
  EXPECT_EQ(1u, Count(verbs, "STOR"));
  EXPECT_EQ(1u, Count(verbs, "TYPE"));
}

// --- Passive mode ---

TEST_F(FtpSessionTest, RefusedEpsvFallsBackToPasvForTheRestOfTheConnection) {
  server_.Answer("EPSV", "500 EPSV not understood.");
  const std::string file = dir_.WriteFile("f.bin", "payload");
  FtpHandle c = Login();
  ASSERT_NE(nullptr, c);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(PutFtpFile(c, file, "f" + std::to_string(i), kBinary));
  CloseFtpHandle(c);
  ASSERT_TRUE(server_.WaitUntilIdle());
  const Verbs verbs = server_.verbs();
  EXPECT_EQ(1u, Count(verbs, "EPSV"));
  EXPECT_EQ(3u, Count(verbs, "STOR"));
  EXPECT_GE(Count(verbs, "PASV"), 3u);
  ASSERT_EQ(3u, server_.uploads().size());
  for (const auto& upload : server_.uploads()) EXPECT_EQ("payload", upload.bytes);
}

TEST_F(FtpSessionTest, DataGoesToTheControlPeerWhateverPasvNames) {
  server_.Answer("EPSV", "502 No EPSV.");
  server_.On("PASV", [](Session& s, const std::string&) {
    s.Reply(testing::PasvReplyFor("127.0.0.2", s.OpenPassive()));
  });
  const std::string file = dir_.WriteFile("f.bin", "to the peer");
  FtpHandle c = Login();
  ASSERT_NE(nullptr, c);
  EXPECT_TRUE(PutFtpFile(c, file, "f.bin", kBinary));
  CloseFtpHandle(c);
  const auto uploads = server_.uploads();
  ASSERT_EQ(1u, uploads.size());
  EXPECT_EQ("127.0.0.1", uploads[0].peer);
  EXPECT_EQ("to the peer", uploads[0].bytes);
}

TEST_F(FtpSessionTest, UnusablePassiveRepliesFailTheStore) {
  const std::vector<std::pair<std::string, std::string>> kCases = {
      {"EPSV", "229 Entering Extended Passive Mode (|||0|)"},
      {"EPSV", "229 Entering Extended Passive Mode"},
      {"EPSV", "425 Cannot open data connection."},
  };
  const std::string file = dir_.WriteFile("f.bin", "x");
  for (const auto& [verb, reply] : kCases) {
    ScriptedFtpServer server;
    server.OnNth(verb, 1, [reply = reply](Session& s, const std::string&) { s.Reply(reply); });
    FtpHandle c = ConnectFtp(root_, server.host(), server.port(), "u", "p");
    ASSERT_NE(nullptr, c);
    EXPECT_FALSE(PutFtpFile(c, file, "f.bin", kBinary)) << reply;
    EXPECT_TRUE(PutFtpFile(c, file, "f.bin", kBinary)) << reply;  // still usable
    CloseFtpHandle(c);
    ASSERT_TRUE(server.WaitUntilIdle());
    EXPECT_EQ(1u, Count(server.verbs(), "STOR")) << reply;
  }
}

TEST_F(FtpSessionTest, RefusedDataConnectionFailsTheStoreAndTheConnection) {
  // A port where nothing listens: the STOR would wait for a connection that
  // never comes, so the connection is given up at once.
  const uint16_t unused = UnusedLoopbackPort();
  ASSERT_NE(0, unused);
  const std::string reply =
      "229 Entering Extended Passive Mode (|||" + std::to_string(unused) + "|)";
  server_.Answer("EPSV", reply);
  server_.On("STOR", [](Session&, const std::string&) {});  // waits, as a server would
  const std::string file = dir_.WriteFile("f.bin", "x");
  FtpHandle c = Login();
  ASSERT_NE(nullptr, c);
  EXPECT_FALSE(PutFtpFile(c, file, "f.bin", kBinary));
  EXPECT_FALSE(PutFtpFile(c, file, "g.bin", kBinary));
  CloseFtpHandle(c);
  ASSERT_TRUE(server_.WaitUntilIdle());
  EXPECT_EQ((Verbs{"USER", "PASS", "TYPE", "EPSV", "STOR"}), server_.verbs());
}

// --- Stores that go wrong ---

TEST_F(FtpSessionTest, RefusedStorFailsAndTheConnectionStaysUsable) {
  const std::string file = dir_.WriteFile("f.bin", RandomBytes(1 << 20, 1));
  server_.OnNth("STOR", 1, [](Session& s, const std::string&) { s.Reply("550 Denied."); });
  FtpHandle c = Login();
  ASSERT_NE(nullptr, c);
  EXPECT_FALSE(PutFtpFile(c, file, "f.bin", kBinary));
  EXPECT_TRUE(PutFtpFile(c, file, "f.bin", kBinary));
  CloseFtpHandle(c);
  const auto uploads = server_.uploads();
  ASSERT_EQ(1u, uploads.size());  // the refused STOR got no data connection accepted
  EXPECT_TRUE(uploads[0].complete);
}

TEST_F(FtpSessionTest, FailuresAfterOrDuringTheDataFailTheStore) {
  struct Case {
    const char* name;
    ScriptedFtpServer::Handler stor;
    bool connection_survives;
    bool huge = false;  // more than the socket buffers hold while the server reads nothing
  };
  const std::vector<Case> kCases = {
      {"451 after the data",
       [](Session& s, const std::string& name) {
         s.Reply("150 Go.");
         s.ReceiveData(name);
         s.Reply("451 Local error in processing.");
       },
       true},
      {"data connection reset mid-transfer, then 426",
       [](Session& s, const std::string& name) {
         s.Reply("150 Go.");
         s.ReceiveData(name, 100000);
         s.Reply("426 Connection closed; transfer aborted.");
       },
       true},
      {"control connection dropped mid-transfer",
       [](Session& s, const std::string& name) {
         s.Reply("150 Go.");
         s.ReceiveData(name, 100000);
         s.Drop();
       },
       false},
      {"226 before the data (hostile)",
       [](Session& s, const std::string& name) {
         s.Reply("150 Go.");
         s.Reply("226 Done already.");
         s.ReceiveData(name);
       },
       true,
       true},
      {"226 without 150",
       [](Session& s, const std::string& name) {
         s.ReceiveData(name);
         s.Reply("226 Done.");
       },
       true},
      {"a reply that fits no command",
       [](Session& s, const std::string& name) {
         s.Reply("150 Go.");
         s.ReceiveData(name);
         s.Reply("229 Entering Extended Passive Mode (|||1234|)");
       },
       false},
      {"oversized reply",
       [](Session& s, const std::string& name) {
         s.Reply("150 Go.");
         s.ReceiveData(name);
         std::string huge = "226-Done\r\n";
         while (huge.size() < 2 * kMaxReplyBytes) huge += " padding padding padding\r\n";
         s.Send(huge + "226 Done\r\n");
       },
       false},
  };
  const std::string file = dir_.WriteFile("big.bin", RandomBytes(4 << 20, 2));
  const std::string huge = dir_.WriteFile("huge.bin", RandomBytes(64 << 20, 4));
  for (const Case& c : kCases) {
    ScriptedFtpServer server;
    server.OnNth("STOR", 1, c.stor);
    FtpHandle connection = ConnectFtp(root_, server.host(), server.port(), "u", "p");
    ASSERT_NE(nullptr, connection) << c.name;
    EXPECT_FALSE(PutFtpFile(connection, c.huge ? huge : file, "big.bin", kBinary)) << c.name;
    EXPECT_EQ(c.connection_survives, PutFtpFile(connection, file, "again.bin", kBinary))
        << c.name;
    CloseFtpHandle(connection);
    ASSERT_TRUE(server.WaitUntilIdle()) << c.name;
    const Verbs verbs = server.verbs();
    EXPECT_EQ(c.connection_survives ? 2u : 1u, Count(verbs, "STOR")) << c.name;
    EXPECT_EQ(c.connection_survives ? 1u : 0u, Count(verbs, "QUIT")) << c.name;
  }
}

TEST_F(FtpSessionTest, RefusedTypeSendsNoByteInTheWrongType) {
  const std::string file = dir_.WriteFile("f.txt", "a\nb\n");
  // First store: the TYPE travels with EPSV and is refused before any STOR.
  server_.OnNth("TYPE", 1, [](Session& s, const std::string&) { s.Reply("504 No."); });
  // After a store the next EPSV is already asked for: the TYPE then travels
  // with the STOR, and its refusal stops the data.
  server_.OnNth("TYPE", 3, [](Session& s, const std::string&) { s.Reply("504 No."); });
  FtpHandle c = Login();
  ASSERT_NE(nullptr, c);
  EXPECT_FALSE(PutFtpFile(c, file, "one.txt", kAscii));
  EXPECT_EQ(0u, Count(server_.verbs(), "STOR"));
  EXPECT_TRUE(PutFtpFile(c, file, "two.txt", kAscii));
  EXPECT_FALSE(PutFtpFile(c, file, "three.bin", kBinary));
  EXPECT_TRUE(PutFtpFile(c, file, "four.bin", kBinary));
  CloseFtpHandle(c);
  ASSERT_TRUE(server_.WaitUntilIdle());
  std::map<std::string, std::string> received;
  for (const auto& upload : server_.uploads()) received[upload.name] = upload.bytes;
  EXPECT_EQ((std::map<std::string, std::string>{
                {"two.txt", "a\r\nb\r\n"}, {"three.bin", ""}, {"four.bin", "a\nb\n"}}),
            received);
  EXPECT_EQ(1u, Count(server_.verbs(), "QUIT"));
}

// --- Silence, dead connections, descriptors ---

TEST_F(FtpSessionTest, SilentServerCostsOneBoundAndKillsTheConnection) {
  SetFtpOptions(root_, ShortBounds());
  struct Case {
    const char* verb;
    bool at_login;
  };
  const Case kCases[] = {{"", true}, {"USER", true}, {"PASS", true}, {"PWD", false},
                         {"EPSV", false}, {"STOR", false}};
  const std::string file = dir_.WriteFile("f.bin", "x");
  for (const Case& silent : kCases) {
    ScriptedFtpServer server;
    server.On(silent.verb, [](Session& s, const std::string&) { s.GoSilent(); });
    FtpHandle c = ConnectFtp(root_, server.host(), server.port(), "u", "p");
    if (silent.at_login) {
      EXPECT_EQ(nullptr, c) << silent.verb;
      continue;
    }
    ASSERT_NE(nullptr, c) << silent.verb;
    std::string directory;
    if (std::string(silent.verb) == "PWD") {
      EXPECT_FALSE(GetFtpCurrentDir(c, &directory));
    } else {
      EXPECT_FALSE(PutFtpFile(c, file, "f.bin", kBinary)) << silent.verb;
    }
    // Dead now: the next calls fail without a word to the server.
    EXPECT_FALSE(SetFtpCurrentDir(c, "/next")) << silent.verb;
    EXPECT_FALSE(PutFtpFile(c, file, "g.bin", kBinary)) << silent.verb;
    EXPECT_FALSE(GetFtpCurrentDir(c, &directory)) << silent.verb;
    EXPECT_TRUE(CloseFtpHandle(c));
    ASSERT_TRUE(server.WaitUntilIdle()) << silent.verb;
    const Verbs verbs = server.verbs();
    EXPECT_EQ(0u, Count(verbs, "CWD")) << silent.verb;
    EXPECT_EQ(0u, Count(verbs, "QUIT")) << silent.verb;
    EXPECT_LE(Count(verbs, "STOR"), 1u) << silent.verb;
  }
}

TEST_F(FtpSessionTest, OversizedGreetingFailsTheLogin) {
  server_.On("", [](Session& s, const std::string&) {
    s.Send("220-" + std::string(200000, 'g') + "\r\n220 Ready\r\n");
  });
  EXPECT_EQ(nullptr, Login());
}

TEST_F(FtpSessionTest, NoDescriptorIsLeft) {
  const std::string file = dir_.WriteFile("f.txt", "line\n");
  ASSERT_TRUE(server_.WaitUntilIdle());
  const int before = OpenDescriptors();
  server_.OnNth("STOR", 2, [](Session& s, const std::string&) { s.Reply("553 Bad name."); });
  server_.OnNth("STOR", 3, [](Session& s, const std::string& name) {
    s.Reply("150 Go.");
    s.ReceiveData(name);
    s.Reply("451 Failed.");
  });
  {
    FtpHandle c = Login();
    ASSERT_NE(nullptr, c);
    EXPECT_TRUE(PutFtpFile(c, file, "1", kAscii));
    EXPECT_FALSE(PutFtpFile(c, file, "2", kAscii));
    EXPECT_FALSE(PutFtpFile(c, file, "3", kBinary));
    EXPECT_FALSE(PutFtpFile(c, dir_.path(), "4", kBinary));
    CloseFtpHandle(c);
  }
  EXPECT_EQ(nullptr, Login("u", "p\r"));
  server_.Answer("PASS", "530 No.");
  EXPECT_EQ(nullptr, Login());
  // A connection left open when the root closes is closed with it.
  FtpHandle other_root = OpenFtpRoot("second");
  server_.Answer("PASS", "230 Ok.");
  ASSERT_NE(nullptr, ConnectFtp(other_root, server_.host(), server_.port(), "u", "p"));
  CloseFtpHandle(other_root);
  ASSERT_TRUE(server_.WaitUntilIdle());
  EXPECT_EQ(before, OpenDescriptors());
  EXPECT_EQ(2u, Count(server_.verbs(), "QUIT"));
}

// --- What goes over the data connection ---

TEST_F(FtpSessionTest, AsciiTypeSendsCrLfAcrossBlockBoundaries) {
  // Random text of CR, LF and letters over several blocks, with the cases
  // that straddle a block boundary placed on it.
  const size_t block = kFtpFileBlockBytes;
  std::mt19937 random(7);
  std::string text(3 * block + 123, 'a');
  for (char& c : text) c = "ab\r\n"[random() % 4];
  text[block - 1] = '\r';  // CR LF split across blocks 1 and 2
  text[block] = '\n';
  text[2 * block - 1] = 'x';  // bare LF first in block 3
  text[2 * block] = '\n';
  text[3 * block - 1] = '\r';  // lone CR last in a block
  text[3 * block] = 'y';
  text[0] = '\n';  // bare LF first in the file
  text.back() = '\r';
  const std::string file = dir_.WriteFile("text.txt", text);
  const std::string lines = dir_.WriteFile("lines.txt", "one\ntwo\r\nthree\rfour\n\n");
  const std::string empty = dir_.WriteFile("empty.txt", "");

  FtpHandle c = Login();
  ASSERT_NE(nullptr, c);
  EXPECT_TRUE(PutFtpFile(c, file, "text.txt", kAscii));
  EXPECT_TRUE(PutFtpFile(c, lines, "lines.txt", kAscii));
  EXPECT_TRUE(PutFtpFile(c, empty, "empty.txt", kAscii));
  EXPECT_TRUE(PutFtpFile(c, empty, "empty.bin", kBinary));
  EXPECT_TRUE(PutFtpFile(c, file, "text.bin", kBinary));
  CloseFtpHandle(c);
  const auto uploads = server_.uploads();
  ASSERT_EQ(5u, uploads.size());
  EXPECT_TRUE(uploads[0].bytes == AsciiOnTheWire(text)) << "block-straddling text differs";
  EXPECT_EQ("one\r\ntwo\r\nthree\rfour\r\n\r\n", uploads[1].bytes);
  EXPECT_EQ("", uploads[2].bytes);
  EXPECT_TRUE(uploads[2].complete);
  EXPECT_EQ("", uploads[3].bytes);
  EXPECT_TRUE(uploads[4].bytes == text) << "binary bytes changed";
}

TEST_F(FtpSessionTest, FlagWordLowBitsChooseTheType) {
  const std::string file = dir_.WriteFile("f", "x\n");
  FtpHandle c = Login();
  ASSERT_NE(nullptr, c);
  const std::pair<uint32_t, char> kCases[] = {
      {1, 'A'}, {2, 'I'}, {0, 'I'}, {3, 'I'}, {0x80000001u, 'A'}, {0x80000002u, 'I'}, {5, 'A'}};
  for (const auto& [flags, type] : kCases) EXPECT_TRUE(PutFtpFile(c, file, "f", flags));
  CloseFtpHandle(c);
  const auto uploads = server_.uploads();
  ASSERT_EQ(std::size(kCases), uploads.size());
  for (size_t i = 0; i < uploads.size(); ++i) {
    EXPECT_EQ(kCases[i].second, uploads[i].type) << "flags " << kCases[i].first;
  }
}

// --- Pipelining ---

TEST_F(FtpSessionTest, NextPassivePortIsAskedAsEarlyAsTheModeAllows) {
  struct Case {
    EarlyPassive mode;
    const char* greeting;
    bool before_server_close;  // the EPSV comes while the data connection is open
    bool before_final_reply;
  };
  const Case kCases[] = {
      {EarlyPassive::kOff, nullptr, false, false},
      {EarlyPassive::kAfterServerClose, nullptr, false, true},
      {EarlyPassive::kAfterOurData, nullptr, true, true},
      {EarlyPassive::kAuto, nullptr, false, true},
      {EarlyPassive::kAuto, "220 (vsFTPd 3.0.3)", true, true},
  };
  const std::string file = dir_.WriteFile("f.bin", "abc");
  for (const Case& c : kCases) {
    const std::string name = std::to_string(static_cast<int>(c.mode)) + " " +
                             (c.greeting ? c.greeting : "");
    ScriptedFtpServer server;
    if (c.greeting) server.Answer("", c.greeting);
    std::atomic<bool> before_close{false};
    std::atomic<bool> before_final{false};
    server.OnNth("STOR", 1, [&](Session& s, const std::string& argument) {
      s.Reply("150 Go.");
      s.ReceiveData(argument, SIZE_MAX, /*leave_open=*/true);
      before_close = s.CommandArrives(500);
      s.CloseData();
      before_final = before_close || s.CommandArrives(500);
      s.Reply("226 Done.");
    });
    FtpOptions options = NormalBounds();
    options.early_passive = c.mode;
    SetFtpOptions(root_, options);
    FtpHandle connection = ConnectFtp(root_, server.host(), server.port(), "u", "p");
    ASSERT_NE(nullptr, connection) << name;
    EXPECT_TRUE(PutFtpFile(connection, file, "1", kBinary)) << name;
    EXPECT_TRUE(PutFtpFile(connection, file, "2", kBinary)) << name;
    CloseFtpHandle(connection);  // an unused EPSV's reply is read before QUIT's
    ASSERT_TRUE(server.WaitUntilIdle()) << name;
    EXPECT_EQ(c.before_server_close, before_close.load()) << name;
    EXPECT_EQ(c.before_final_reply, before_final.load()) << name;
    const Verbs early = {"USER", "PASS", "TYPE", "EPSV", "STOR", "EPSV", "STOR", "EPSV", "QUIT"};
    const Verbs late = {"USER", "PASS", "TYPE", "EPSV", "STOR", "EPSV", "STOR", "QUIT"};
    EXPECT_EQ(c.mode == EarlyPassive::kOff ? late : early, server.verbs()) << name;
  }
}

TEST_F(FtpSessionTest, CommandsAfterAnUnusedPassiveRequestStayInStep) {
  const std::string file = dir_.WriteFile("f.bin", "abc");
  server_.OnNth("EPSV", 2, [](Session& s, const std::string&) { s.Reply("500 Not now."); });
  FtpHandle c = Login();
  ASSERT_NE(nullptr, c);
  EXPECT_TRUE(PutFtpFile(c, file, "1", kBinary));
  std::string directory;
  EXPECT_TRUE(SetFtpCurrentDir(c, "/sub"));
  EXPECT_TRUE(GetFtpCurrentDir(c, &directory));
  EXPECT_EQ("/sub", directory);
  // The refused early EPSV turned the connection to PASV.
  EXPECT_TRUE(PutFtpFile(c, file, "2", kBinary));
  EXPECT_TRUE(PutFtpFile(c, file, "3", kAscii));
  CloseFtpHandle(c);
  ASSERT_TRUE(server_.WaitUntilIdle());
  EXPECT_EQ((Verbs{"USER", "PASS", "TYPE", "EPSV", "STOR", "EPSV", "CWD", "PWD", "PASV", "STOR",
                   "PASV", "TYPE", "STOR", "PASV", "QUIT"}),
            server_.verbs());
  EXPECT_EQ(3u, server_.uploads().size());
}

// A server that answers a command while a transfer is still running would
// answer our early EPSV before the STOR's final reply, or never send that
// reply at all. Either way the file must fail, never pass.
TEST_F(FtpSessionTest, PassiveReplyInPlaceOfTheFinalReplyFailsTheFile) {
  const std::string file = dir_.WriteFile("f.bin", "abc");
  server_.OnNth("STOR", 1, [](Session& s, const std::string& name) {
    s.Reply("150 Go.");
    s.ReceiveData(name);  // and no final reply
  });
  FtpHandle c = Login();
  ASSERT_NE(nullptr, c);
  EXPECT_FALSE(PutFtpFile(c, file, "1", kBinary));
  EXPECT_FALSE(PutFtpFile(c, file, "2", kBinary));
  CloseFtpHandle(c);
  ASSERT_TRUE(server_.WaitUntilIdle());
  EXPECT_EQ(1u, Count(server_.verbs(), "STOR"));
}

// --- Against a real server ---

class RealServerTest : public ::testing::Test {
 protected:
  void StartServer(bool keep_crlf) {
    RealFtpServer::Options options;
    options.ascii_keeps_crlf = keep_crlf;
    server_ = std::make_unique<RealFtpServer>(options);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    root_ = OpenFtpRoot("ftp_session_test");
    SetFtpOptions(root_, NormalBounds());
    connection_ = ConnectFtp(root_, server_->host(), server_->port(), server_->user(),
                             server_->password());
    ASSERT_NE(nullptr, connection_);
  }
  ~RealServerTest() override { CloseFtpHandle(root_); }

  std::unique_ptr<RealFtpServer> server_;
  TempDir dir_;
  FtpHandle root_ = nullptr;
  FtpHandle connection_ = nullptr;
};

TEST_F(RealServerTest, BinaryFileArrivesByteForByte) {
  StartServer(false);
  const std::string bytes = RandomBytes(5 << 20, 3);
  EXPECT_TRUE(PutFtpFile(connection_, dir_.WriteFile("big.bin", bytes), "big.bin", kBinary));
  EXPECT_TRUE(server_->ReadFile("big.bin") == bytes);
}

TEST_F(RealServerTest, AsciiTextArrivesAsTheServerStoresIt) {
  const std::string text = "first\nsecond\r\nthird\n";
  for (bool keep_crlf : {false, true}) {
    StartServer(keep_crlf);
    EXPECT_TRUE(PutFtpFile(connection_, dir_.WriteFile("t.txt", text), "t.txt", kAscii));
    std::string directory;
    EXPECT_TRUE(GetFtpCurrentDir(connection_, &directory));
    EXPECT_EQ("/", directory);
    // On the wire every line ends in CR LF; the stock server stores LF.
    EXPECT_EQ(keep_crlf ? "first\r\nsecond\r\nthird\r\n" : "first\nsecond\nthird\n",
              server_->ReadFile("t.txt").value_or("<missing>"))
        << "keep_crlf " << keep_crlf;
    CloseFtpHandle(root_);
    root_ = nullptr;
  }
}

TEST_F(RealServerTest, ManySmallFilesAndMixedTypesInOneSession) {
  StartServer(true);
  ASSERT_EQ(0, ::mkdir((server_->root() + "/sub").c_str(), 0755));
  EXPECT_TRUE(SetFtpCurrentDir(connection_, "/sub"));
  EXPECT_FALSE(SetFtpCurrentDir(connection_, "/no/such/dir"));
  for (int i = 0; i < 50; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    const std::string content = "file " + std::to_string(i) + "\nline\n" + RandomBytes(i * 37, i);
    const bool ascii = i % 3 == 0;
    ASSERT_TRUE(PutFtpFile(connection_, dir_.WriteFile(name, content), name,
                           ascii ? kAscii : kBinary))
        << name;
    EXPECT_TRUE(server_->ReadFile("sub/" + name) == (ascii ? AsciiOnTheWire(content) : content))
        << name;
  }
  EXPECT_EQ(50u, testing::ListDir(server_->root() + "/sub").size());
}

}  // namespace
}  // namespace varnolet
