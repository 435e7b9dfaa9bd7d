// The whole program, as a user runs it: the real binary with its INI beside
// it, against a real FTP server (pyftpdlib) and, where a real server cannot be
// made to misbehave, against the scripted one. Console lines are compared as
// exact Shift_JIS bytes.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "real_ftp_server.h"
#include "scripted_ftp_server.h"
#include "console_lines.h"
#include "test_support.h"

namespace varnolet::testing {
namespace {

std::string SiteIni(int site, const std::string& local_dir, const std::string& host, int port,
                    const std::string& user, const std::string& password,
                    const std::string& host_dir) {
  std::string ini = "[" + std::to_string(site) + "]\nLocalDir=" + local_dir + "\nHost=" + host +
                    "\nPort=" + std::to_string(port) + "\nUserID=" + user + "\n";
  if (!password.empty()) ini += "Password=" + password + "\n";
  if (!host_dir.empty()) ini += "HostDir=" + host_dir + "\n";
  return ini;
}

void MakeDir(const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path; }

class RealServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RealFtpServer::Options options;
    options.ascii_keeps_crlf = true;  // see on the server what went over the wire
    server_ = std::make_unique<RealFtpServer>(options);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
  }

  std::string Site(int site, const std::string& local_dir, const std::string& host_dir) const {
    return SiteIni(site, local_dir, server_->host(), server_->port(), server_->user(),
                   server_->password(), host_dir);
  }

  std::unique_ptr<RealFtpServer> server_;
  TempDir local_;  // the files to publish
  TempDir bin_;    // the installed program and its INI
};

// A small PNG-like binary with every byte value, CR and LF among them.
std::string BinaryBytes() {
  std::string bytes = "\x89PNG\r\n\x1a\n";
  for (int i = 0; i < 4096; ++i) bytes.push_back(static_cast<char>((i * 7) & 0xFF));
  return bytes;
}

TEST_F(RealServerTest, TypicalRunServesBothSelectedSites) {
  const std::string page = "<html>\n<body>guide</body>\r\n</html>\n";
  const std::string guide = local_.WriteFile("web/docs/guide.html", page);
  const std::string logo = local_.WriteFile("web/docs/logo.png", BinaryBytes());
  MakeDir(server_->root() + "/pub");
  MakeDir(server_->root() + "/pub/docs");
  MakeDir(server_->root() + "/manual");

  const std::string web = local_.path() + "/web/";
  std::string ini = Site(0, web, "/pub") + Site(1, web + "docs/", "/manual");
  ini += "[3]\nLocalDir=/\n[AsciiMode]\nhtml=1\ntxt=1\ncss=1\njpg=0\n";
  const std::string program = InstallProgram(bin_, ini);

  const ProgramResult result = RunProgram(program, {guide, logo});
  EXPECT_EQ(result.exit_status, 0);
  const std::string host = server_->host();
  EXPECT_EQ(result.output, Lines({
                               host + kConnecting,
                               "/pub/docs" + kChangingDir,
                               guide + kUploading,
                               logo + kUploading,
                               host + kDisconnecting,
                               host + kConnecting,
                               "/manual" + kChangingDir,
                               guide + kUploading,
                               logo + kUploading,
                               host + kDisconnecting,
                           }));

  const std::string page_crlf = "<html>\r\n<body>guide</body>\r\n</html>\r\n";
  for (const std::string dir : {"pub/docs/", "manual/"}) {
    EXPECT_EQ(server_->ReadFile(dir + "guide.html"), page_crlf) << dir;
    EXPECT_EQ(server_->ReadFile(dir + "logo.png"), BinaryBytes()) << dir;
  }
}

TEST_F(RealServerTest, EveryArgumentLandsInTheFirstArgumentsDirectory) {
  const std::string a = local_.WriteFile("web/docs/a.bin", "A");
  const std::string b = local_.WriteFile("web/other/deep/b.bin", "B");
  const std::string c = local_.WriteFile("elsewhere/c.bin", "C");
  MakeDir(server_->root() + "/docs");
  const std::string program = InstallProgram(bin_, Site(0, local_.path() + "/web", ""));

  const ProgramResult result = RunProgram(program, {a, b, c});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.output, Lines({std::string(server_->host()) + kConnecting,
                                  "/docs" + kChangingDir, a + kUploading, b + kUploading,
                                  c + kUploading, std::string(server_->host()) + kDisconnecting}));
  EXPECT_EQ(ListDir(server_->root() + "/docs"), (std::vector<std::string>{"a.bin", "b.bin", "c.bin"}));
  EXPECT_EQ(server_->ReadFile("docs/b.bin"), "B");
}

TEST_F(RealServerTest, NoDirectoryChangeWhenHostDirAndRelativeDirAreEmpty) {
  const std::string a = local_.WriteFile("web/a.txt", "x\n");
  const std::string program =
      InstallProgram(bin_, Site(0, local_.path() + "/web/", "") + "[AsciiMode]\nTXT=1\n");
  const ProgramResult result = RunProgram(program, {a});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.output, Lines({std::string(server_->host()) + kConnecting, a + kUploading,
                                  std::string(server_->host()) + kDisconnecting}));
  EXPECT_EQ(server_->ReadFile("a.txt"), "x\r\n");
}

// A refused change of directory skips the site's uploads: storing anyway
// would put the files wherever the server happens to be.
TEST_F(RealServerTest, RefusedDirectorySkipsTheUploads) {
  const std::string a = local_.WriteFile("web/a.html", "x");
  const std::string program = InstallProgram(bin_, Site(0, local_.path() + "/web/", "/missing"));
  const ProgramResult result = RunProgram(program, {a});
  EXPECT_EQ(result.exit_status, 2);
  const std::string host = server_->host();
  EXPECT_EQ(result.output, Lines({host + kConnecting, "/missing" + kChangingDir, kChangeDirFailed,
                                  host + kDisconnecting}));
  EXPECT_EQ(ListDir(server_->root()), std::vector<std::string>{});
}

TEST_F(RealServerTest, FailedStoreIsReportedAndTheNextFileFollows) {
  const std::string missing = local_.path() + "/web/missing.bin";
  const std::string present = local_.WriteFile("web/present.bin", "data");
  const std::string program = InstallProgram(bin_, Site(0, local_.path() + "/web/", ""));
  const ProgramResult result = RunProgram(program, {missing, present});
  EXPECT_EQ(result.exit_status, 2);
  const std::string host = server_->host();
  EXPECT_EQ(result.output, Lines({host + kConnecting, missing + kUploading, kUploadFailed,
                                  present + kUploading, host + kDisconnecting}));
  // The failed open created nothing on the server.
  EXPECT_EQ(ListDir(server_->root()), std::vector<std::string>{"present.bin"});
}

TEST_F(RealServerTest, WrongPasswordFailsTheConnectionAndTheScanGoesOn) {
  const std::string a = local_.WriteFile("web/a.bin", "A");
  const std::string web = local_.path() + "/web/";
  const std::string ini =
      SiteIni(0, web, server_->host(), server_->port(), server_->user(), "wrong", "") +
      Site(1, web, "");
  const ProgramResult result = RunProgram(InstallProgram(bin_, ini), {a});
  EXPECT_EQ(result.exit_status, 2);
  const std::string host = server_->host();
  EXPECT_EQ(result.output, Lines({host + kConnecting, kConnectFailed, host + kConnecting,
                                  a + kUploading, host + kDisconnecting}));
  EXPECT_EQ(server_->ReadFile("a.bin"), "A");
}

// Failures the scripted server shows: settings missing (no connection at
// all), a store the server refuses, a broken standard output.
class ScriptedServerTest : public ::testing::Test {
 protected:
  std::string Site(int site, const std::string& password, int port = -1) const {
    return SiteIni(site, local_.path() + "/", server_.host(), port < 0 ? server_.port() : port,
                   "user", password, "");
  }

  ScriptedFtpServer server_;
  TempDir local_;
  TempDir bin_;
};

TEST_F(ScriptedServerTest, MissingSettingsFailWithoutNetworkTraffic) {
  const std::string a = local_.WriteFile("a.bin", "A");
  // Site 0 has no password, site 1 port 0.
  const std::string program = InstallProgram(bin_, Site(0, "") + Site(1, "pw", 0));
  const ProgramResult result = RunProgram(program, {a});
  EXPECT_EQ(result.exit_status, 2);
  const std::string host = server_.host();
  EXPECT_EQ(result.output,
            Lines({host + kConnecting, kConnectFailed, host + kConnecting, kConnectFailed}));
  EXPECT_EQ(server_.connections(), 0);
}

TEST_F(ScriptedServerTest, RefusedStoreIsReported) {
  server_.Answer("STOR", "550 Permission denied.");
  const std::string a = local_.WriteFile("a.bin", "A");
  const std::string b = local_.WriteFile("b.bin", "B");
  const ProgramResult result = RunProgram(InstallProgram(bin_, Site(0, "pw")), {a, b});
  EXPECT_EQ(result.exit_status, 2);
  const std::string host = server_.host();
  EXPECT_EQ(result.output, Lines({host + kConnecting, a + kUploading, kUploadFailed,
                                  b + kUploading, kUploadFailed, host + kDisconnecting}));
}

TEST_F(ScriptedServerTest, BrokenStdoutEndsTheRunBeforeAnyConnection) {
  const std::string a = local_.WriteFile("a.bin", "A");
  const std::string program = InstallProgram(bin_, Site(0, "pw"));
  EXPECT_EQ(RunProgram(program, {a}, StdoutMode::kClosed).exit_status, 1);
  EXPECT_EQ(RunProgram(program, {a}, StdoutMode::kDevFull).exit_status, 1);
  EXPECT_EQ(RunProgram(program, {a}, StdoutMode::kBrokenPipe).exit_status, 1);
  EXPECT_EQ(server_.connections(), 0);
}

}  // namespace
}  // namespace varnolet::testing
