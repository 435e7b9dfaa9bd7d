#include "varnoletFTP.h"

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scripted_ftp_server.h"
#include "test_support.h"

namespace varnolet {
namespace {

using testing::ScriptedFtpServer;
using testing::TempDir;
using testing::UnusedLoopbackPort;
using Verbs = std::vector<std::string>;

// Short bounds: a test that goes wrong fails in seconds, not minutes.
void ShortenBounds(TvarnoletFTP* ftp) {
  FtpOptions options;
  options.connect_ms = 3000;
  options.reply_ms = 3000;
  options.data_idle_ms = 3000;
  options.quit_ms = 1000;
  SetFtpOptions(ftp->InternetHandle, options);
}

class TvarnoletFTPTest : public ::testing::Test {
 protected:
  std::unique_ptr<TvarnoletFTP> NewClient() {
    auto ftp = std::make_unique<TvarnoletFTP>();
    ShortenBounds(ftp.get());
    ftp->Host = server_.host();
    ftp->Port = server_.port();
    ftp->UserID = "web";
    ftp->Password = "pw";
    return ftp;
  }

  ScriptedFtpServer server_;
  TempDir dir_;
};

TEST_F(TvarnoletFTPTest, NewObjectStartsEmptyWithARootHandle) {
  TvarnoletFTP ftp;
  EXPECT_EQ("", ftp.CurrentDir);
  EXPECT_EQ(0, ftp.Port);
  EXPECT_EQ("", ftp.Host);
  EXPECT_EQ("", ftp.UserID);
  EXPECT_EQ("", ftp.Password);
  EXPECT_FALSE(ftp.Connected);
  EXPECT_NE(nullptr, ftp.InternetHandle);
  EXPECT_EQ(nullptr, ftp.ConnectionHandle);
  EXPECT_EQ(0, ftp.TransferType);
}

TEST_F(TvarnoletFTPTest, CheckSettingsMaskAndNoConnectionWhenASettingIsMissing) {
  struct Case {
    const char* host;
    int32_t port;  // 1: the server's port
    const char* user;
    const char* password;
    int32_t mask;
  };
  const Case kCases[] = {
      {"", 0, "", "", 15},
      {"", 1, "u", "p", 1},
      {"h", 0, "u", "p", 2},
      {"h", 1, "", "p", 4},
      {"h", 1, "u", "", 8},
      {"", 0, "u", "", 11},
      {" ", 0, " ", " ", 2},  // blanks are set
  };
  for (const Case& c : kCases) {
    auto ftp = NewClient();
    ftp->Host = c.host;
    if (*c.host == 'h') ftp->Host = server_.host();
    ftp->Port = c.port == 1 ? server_.port() : c.port;
    ftp->UserID = c.user;
    ftp->Password = c.password;
    EXPECT_EQ(c.mask, ftp->CheckSettings()) << c.mask;
    EXPECT_FALSE(ftp->Connect()) << c.mask;
    EXPECT_FALSE(ftp->Connected);
    EXPECT_EQ(nullptr, ftp->ConnectionHandle);
  }
  // The first connection the server ever sees is this one.
  auto ftp = NewClient();
  EXPECT_EQ(0, ftp->CheckSettings());
  ASSERT_TRUE(ftp->Connect());
  EXPECT_EQ(1, server_.connections());
  EXPECT_EQ((Verbs{"USER", "PASS", "PWD"}), server_.verbs());
}

TEST_F(TvarnoletFTPTest, ConnectLogsInAndAsksForTheDirectoryOnce) {
  server_.Answer("PWD", "257 \"/home/web\" is the current directory.");
  auto ftp = NewClient();
  ASSERT_TRUE(ftp->Connect());
  EXPECT_TRUE(ftp->Connected);
  EXPECT_NE(nullptr, ftp->ConnectionHandle);
  EXPECT_EQ("/home/web", ftp->CurrentDir);
  EXPECT_EQ((std::vector<std::string>{"USER web", "PASS pw", "PWD"}), server_.commands());

  EXPECT_TRUE(ftp->Disconnect());
  EXPECT_FALSE(ftp->Connected);
  EXPECT_EQ((Verbs{"USER", "PASS", "PWD", "QUIT"}), server_.verbs());
}

TEST_F(TvarnoletFTPTest, SecondConnectIsRefusedAndTheFirstConnectionStaysUsable) {
  auto ftp = NewClient();
  ASSERT_TRUE(ftp->Connect());
  const FtpHandle first = ftp->ConnectionHandle;
  EXPECT_FALSE(ftp->Connect());
  EXPECT_TRUE(ftp->Connected);
  EXPECT_EQ(first, ftp->ConnectionHandle);
  EXPECT_TRUE(ftp->ChangeDir("/pub"));
  EXPECT_EQ(1, server_.connections());
  EXPECT_EQ((Verbs{"USER", "PASS", "PWD", "CWD", "PWD"}), server_.verbs());
}

TEST_F(TvarnoletFTPTest, DisconnectWithoutConnectionIsRefused) {
  auto ftp = NewClient();
  EXPECT_FALSE(ftp->Disconnect());
  EXPECT_FALSE(ftp->Connected);
  ASSERT_TRUE(ftp->Connect());
  ASSERT_TRUE(ftp->Disconnect());
  EXPECT_FALSE(ftp->Disconnect());
  // Calls the program never makes while disconnected fail quietly.
  EXPECT_FALSE(ftp->ChangeDir("/pub"));
  EXPECT_FALSE(ftp->PutFile(dir_.WriteFile("f.txt", "x"), "f.txt"));
  EXPECT_EQ((Verbs{"USER", "PASS", "PWD", "QUIT"}), server_.verbs());
}

TEST_F(TvarnoletFTPTest, ReconnectRefreshesCurrentDir) {
  server_.OnNth("PWD", 1, [](ScriptedFtpServer::Session& s, const std::string&) {
    s.Reply("257 \"/first\"");
  });
  server_.OnNth("PWD", 2, [](ScriptedFtpServer::Session& s, const std::string&) {
    s.Reply("257 \"/second\"");
  });
  auto ftp = NewClient();
  ASSERT_TRUE(ftp->Connect());
  EXPECT_EQ("/first", ftp->CurrentDir);
  ASSERT_TRUE(ftp->Disconnect());
  EXPECT_EQ("/first", ftp->CurrentDir);
  ASSERT_TRUE(ftp->Connect());
  EXPECT_EQ("/second", ftp->CurrentDir);
  EXPECT_EQ(2, server_.connections());
  EXPECT_EQ((Verbs{"USER", "PASS", "PWD", "QUIT", "USER", "PASS", "PWD"}), server_.verbs());
}

TEST_F(TvarnoletFTPTest, AcceptedChangeDirAsksOnceRefusedAsksNothing) {
  auto ftp = NewClient();
  ASSERT_TRUE(ftp->Connect());
  EXPECT_EQ("/", ftp->CurrentDir);

  EXPECT_TRUE(ftp->ChangeDir("/pub/docs"));
  EXPECT_EQ("/pub/docs", ftp->CurrentDir);

  server_.Answer("CWD", "550 No such directory.");
  EXPECT_FALSE(ftp->ChangeDir("/missing"));
  EXPECT_EQ("/pub/docs", ftp->CurrentDir);
  EXPECT_TRUE(ftp->Connected);

  ASSERT_TRUE(ftp->Disconnect());
  EXPECT_EQ((std::vector<std::string>{"USER web", "PASS pw", "PWD", "CWD /pub/docs", "PWD",
                                      "CWD /missing", "QUIT"}),
            server_.commands());
}

TEST_F(TvarnoletFTPTest, ChangeDirSendsTheDirectoryUnchanged) {
  auto ftp = NewClient();
  ASSERT_TRUE(ftp->Connect());
  EXPECT_TRUE(ftp->ChangeDir(" a dir/with\\back slash "));
  EXPECT_FALSE(ftp->ChangeDir(""));  // the scripted server refuses an empty CWD
  ASSERT_TRUE(ftp->Disconnect());
  const auto commands = server_.commands();
  ASSERT_EQ(7u, commands.size());
  EXPECT_EQ("CWD  a dir/with\\back slash ", commands[3]);
  EXPECT_EQ("CWD ", commands[5]);
}

TEST_F(TvarnoletFTPTest, CurrentDirKeepsAtMostTheBufferAndStopsAtNul) {
  const std::string long_dir = "/" + std::string(299, 'd');
  server_.OnNth("PWD", 1, [&](ScriptedFtpServer::Session& s, const std::string&) {
    s.Reply("257 \"" + long_dir + "\"");
  });
  server_.OnNth("PWD", 2, [&](ScriptedFtpServer::Session& s, const std::string&) {
    s.Reply("257 \"" + long_dir + "\"");
  });
  server_.OnNth("PWD", 3, [](ScriptedFtpServer::Session& s, const std::string&) {
    s.Send(std::string("257 \"/a\0b\"\r\n", 12));
  });
  server_.OnNth("PWD", 4, [](ScriptedFtpServer::Session& s, const std::string&) {
    s.Reply("550 Cannot tell.");
  });
  auto ftp = NewClient();
  ASSERT_TRUE(ftp->Connect());
  EXPECT_EQ(long_dir.substr(0, 256), ftp->CurrentDir);
  ASSERT_TRUE(ftp->ChangeDir("x"));
  EXPECT_EQ(long_dir.substr(0, 260), ftp->CurrentDir);
  ASSERT_TRUE(ftp->ChangeDir("y"));
  EXPECT_EQ("/a", ftp->CurrentDir);
  // A failed query fails neither call; the text is then empty.
  EXPECT_TRUE(ftp->ChangeDir("z"));
  EXPECT_EQ("", ftp->CurrentDir);
}

TEST_F(TvarnoletFTPTest, ConnectSucceedsWhenOnlyTheDirectoryQueryFails) {
  server_.Answer("PWD", "550 Not telling.");
  auto ftp = NewClient();
  EXPECT_TRUE(ftp->Connect());
  EXPECT_TRUE(ftp->Connected);
  EXPECT_EQ("", ftp->CurrentDir);
}

TEST_F(TvarnoletFTPTest, PortUsesItsLow16BitsUnsigned) {
  const int32_t port = server_.port();
  for (int32_t value : {port, port + 65536, port - 65536, port + 3 * 65536}) {
    auto ftp = NewClient();
    ftp->Port = value;
    EXPECT_EQ(0, ftp->CheckSettings()) << value;
    EXPECT_TRUE(ftp->Connect()) << value;
  }
  EXPECT_EQ(4, server_.connections());

  // 65536 passes the settings check and reaches the connect as port 0, which
  // no server listens on.
  auto ftp = NewClient();
  ftp->Port = 65536;
  EXPECT_EQ(0, ftp->CheckSettings());
  EXPECT_FALSE(ftp->Connect());
  EXPECT_FALSE(ftp->Connected);
}

TEST_F(TvarnoletFTPTest, RefusedOrUnreachableLoginFails) {
  server_.Answer("PASS", "530 Login incorrect.");
  auto ftp = NewClient();
  EXPECT_FALSE(ftp->Connect());
  EXPECT_FALSE(ftp->Connected);
  EXPECT_EQ(nullptr, ftp->ConnectionHandle);
  EXPECT_FALSE(ftp->Disconnect());
  EXPECT_EQ((Verbs{"USER", "PASS"}), server_.verbs());

  // A port where nothing listens: take a free one and release it.
  ftp->Port = UnusedLoopbackPort();
  ASSERT_NE(0, ftp->Port);
  EXPECT_FALSE(ftp->Connect());
  EXPECT_FALSE(ftp->Connected);
}

TEST_F(TvarnoletFTPTest, TransferTypeReachesTheStoreAsTypeAOrI) {
  const std::string text = dir_.WriteFile("page.html", "<p>\nline\n");
  const std::string image = dir_.WriteFile("logo.png", std::string("\x89PNG\n\r\n\0", 8));
  auto ftp = NewClient();
  ASSERT_TRUE(ftp->Connect());
  ftp->TransferType = TvarnoletFTP::kTransferTypeAscii;
  EXPECT_TRUE(ftp->PutFile(text, "page.html"));
  ftp->TransferType = TvarnoletFTP::kTransferTypeBinary;
  EXPECT_TRUE(ftp->PutFile(image, "logo.png"));
  ftp->TransferType = TvarnoletFTP::kTransferTypeAscii;
  EXPECT_TRUE(ftp->PutFile(text, "again.html"));
  EXPECT_TRUE(ftp->Connected);
  ASSERT_TRUE(ftp->Disconnect());

  const auto uploads = server_.uploads();
  ASSERT_EQ(3u, uploads.size());
  EXPECT_EQ("page.html", uploads[0].name);
  EXPECT_EQ('A', uploads[0].type);
  EXPECT_EQ("<p>\r\nline\r\n", uploads[0].bytes);
  EXPECT_EQ("logo.png", uploads[1].name);
  EXPECT_EQ('I', uploads[1].type);
  EXPECT_EQ(std::string("\x89PNG\n\r\n\0", 8), uploads[1].bytes);
  EXPECT_EQ('A', uploads[2].type);
  std::vector<std::string> types;
  for (const std::string& line : server_.commands()) {
    if (line.rfind("TYPE", 0) == 0) types.push_back(line);
  }
  EXPECT_EQ((std::vector<std::string>{"TYPE A", "TYPE I", "TYPE A"}), types);
}

TEST_F(TvarnoletFTPTest, RefusedStoreFailsAndTheNextOneWorks) {
  const std::string file = dir_.WriteFile("a.txt", "data");
  server_.OnNth("STOR", 1, [](ScriptedFtpServer::Session& s, const std::string&) {
    s.Reply("550 Permission denied.");
  });
  auto ftp = NewClient();
  ASSERT_TRUE(ftp->Connect());
  ftp->TransferType = TvarnoletFTP::kTransferTypeBinary;
  EXPECT_FALSE(ftp->PutFile(file, "a.txt"));
  EXPECT_TRUE(ftp->PutFile(file, "a.txt"));
  EXPECT_FALSE(ftp->PutFile(dir_.path() + "/missing.txt", "missing.txt"));
  EXPECT_TRUE(ftp->Connected);
}

TEST_F(TvarnoletFTPTest, DestroyingAConnectedObjectClosesTheConnectionOnce) {
  {
    auto ftp = NewClient();
    ASSERT_TRUE(ftp->Connect());
  }
  ASSERT_TRUE(server_.WaitUntilIdle());
  EXPECT_EQ((Verbs{"USER", "PASS", "PWD", "QUIT"}), server_.verbs());
}

}  // namespace
}  // namespace varnolet
