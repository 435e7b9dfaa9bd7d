// Resource bounds of the program: no file descriptor outlives the handling of
// a site, whatever way it ends, and peak memory does not grow with the size of
// the files uploaded.
//
// Descriptors are checked in this process: UploadSite runs on a site job
// against the scripted server (every failure path) and a real one, and the
// open descriptors (/proc/self/fd) are compared before and after. Memory is
// checked on the real program (measured_run.h) uploading sparse files of two
// sizes to a real server.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "console.h"
#include "ftp_session.h"
#include "measured_run.h"
#include "paths.h"
#include "real_ftp_server.h"
#include "run.h"
#include "scripted_ftp_server.h"
#include "test_support.h"
#include "upload.h"

namespace varnolet::testing {
namespace {

using Session = ScriptedFtpServer::Session;

// The bound given through the test hook, where the program has one.
constexpr int kBoundMs = 500;

// The open descriptors of this process and what each refers to.
std::map<int, std::string> OpenDescriptors() {
  std::map<int, std::string> open;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) {
    ADD_FAILURE() << "cannot list /proc/self/fd";
    return open;
  }
  const int own = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd == own) continue;
    char target[4096];
    const ssize_t n =
        ::readlink(("/proc/self/fd/" + std::string(entry->d_name)).c_str(), target, sizeof target);
    open[fd] = n > 0 ? std::string(target, static_cast<size_t>(n)) : "?";
  }
  ::closedir(dir);
  return open;
}

class CapturingConsole : public Console {
 public:
  void WriteLine(std::string_view text) override {
    text_.append(text);
    text_ += "\r\n";
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// Handles the site [0] of ini for files, as the run does; returns whether
// the site did all its work.
bool HandleSite(const std::string& ini_text, const std::vector<std::string>& files,
                std::string* console_text) {
  IniReader ini = IniReader::FromText(ini_text);
  CapturingConsole console;
  const SiteJob job{ini, "0", "", files, ProcessPathRules(), console};
  const bool done = UploadSite(job);
  *console_text = console.text();
  return done;
}

std::string SiteIni(const std::string& host, uint16_t port, const std::string& user,
                    const std::string& password, const std::string& host_dir) {
  return "[0]\nLocalDir=/\nHost=" + host + "\nPort=" + std::to_string(port) + "\nUserID=" + user +
         "\nPassword=" + password + "\nHostDir=" + host_dir + "\n";
}

// Shortens the FTP layer's bounds for roots opened while it lives.
class ShortBounds {
 public:
  explicit ShortBounds(int ms) {
    FtpOptions options;
    options.connect_ms = options.reply_ms = options.data_idle_ms = ms;
    options.quit_ms = std::min(options.quit_ms, ms);
    SetDefaultFtpOptions(options);
  }
  ~ShortBounds() { SetDefaultFtpOptions(FtpOptions()); }
};

struct SiteCase {
  const char* name;
  bool site_succeeds;
  bool waits_for_a_bound;  // needs the shortened bounds
  const char* host_dir;
  std::function<void(ScriptedFtpServer&)> script;
  bool nothing_listens = false;  // the site's port has no server
  bool missing_file = false;     // the first file does not exist
};

void PrintTo(const SiteCase& c, std::ostream* out) { *out << c.name; }

const SiteCase kSiteCases[] = {
    {"EverythingStored", true, false, "", [](ScriptedFtpServer&) {}},
    {"NothingListens", false, false, "", [](ScriptedFtpServer&) {}, true},
    {"GreetingRefuses", false, false, "",
     [](ScriptedFtpServer& s) { s.Answer("", "421 Too many users."); }},
    {"GreetingOf10MB", false, false, "",
     [](ScriptedFtpServer& s) {
       s.On("", [](Session& session, const std::string&) {
         session.Reply("220 " + std::string(10 << 20, 'g'));
       });
     }},
    {"LoginRefused", false, false, "", [](ScriptedFtpServer& s) { s.Answer("PASS", "530 No."); }},
    {"DirectoryRefused", false, false, "/missing",
     [](ScriptedFtpServer& s) { s.Answer("CWD", "550 No such directory."); }},
    {"StoreRefused", false, false, "", [](ScriptedFtpServer& s) { s.Answer("STOR", "550 No."); }},
    {"PassiveRefused", false, false, "",
     [](ScriptedFtpServer& s) {
       s.Answer("EPSV", "500 Unknown.");
       s.Answer("PASV", "227 Nothing to parse here.");
     }},
    {"ControlDroppedAfter150", false, false, "",
     [](ScriptedFtpServer& s) {
       s.On("STOR", [](Session& session, const std::string&) {
         session.Reply("150 Go ahead.");
         session.Drop();
       });
     }},
    {"DataResetMidTransfer", false, false, "",
     [](ScriptedFtpServer& s) {
       s.On("STOR", [](Session& session, const std::string& name) {
         session.Reply("150 Go ahead.");
         session.ReceiveData(name, 1000);
         session.Reply("426 Connection closed; transfer aborted.");
       });
     }},
    {"CompletionWhileTheDataStaysOpen", false, true, "",
     [](ScriptedFtpServer& s) {
       s.On("STOR", [](Session& session, const std::string& name) {
         session.Reply("150 Go ahead.");
         session.ReceiveData(name, SIZE_MAX, /*leave_open=*/true);
         session.Reply("226 Done.");
       });
     }},
    {"SilentAfterStor", false, true, "",
     [](ScriptedFtpServer& s) {
       s.On("STOR", [](Session& session, const std::string&) { session.GoSilent(); });
     }},
    {"MissingLocalFile", false, false, "", [](ScriptedFtpServer&) {}, false, true},
};

class SiteDescriptorTest : public ::testing::TestWithParam<SiteCase> {};

TEST_P(SiteDescriptorTest, NoDescriptorOutlivesTheSite) {
  const SiteCase& c = GetParam();
  std::optional<ShortBounds> short_bounds;
  if (c.waits_for_a_bound) short_bounds.emplace(kBoundMs);
  TempDir local;
  const std::string a = c.missing_file ? local.path() + "/missing.bin"
                                       : local.WriteFile("a.bin", std::string(300000, 'a'));
  const std::string b = local.WriteFile("b.txt", "b\nb\n");

  ScriptedFtpServer server;
  c.script(server);
  const uint16_t port = c.nothing_listens ? UnusedLoopbackPort() : server.port();
  const std::map<int, std::string> before = OpenDescriptors();
  std::string console;
  const bool done = HandleSite(SiteIni(server.host(), port, "web", "pw", c.host_dir), {a, b},
                               &console);
  EXPECT_EQ(done, c.site_succeeds) << console;
  ASSERT_TRUE(server.WaitUntilIdle());
  EXPECT_EQ(OpenDescriptors(), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, SiteDescriptorTest, ::testing::ValuesIn(kSiteCases),
                         [](const ::testing::TestParamInfo<SiteCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(RealServerDescriptorTest, NoDescriptorOutlivesTheSite) {
  RealFtpServer server;
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  TempDir local;
  const std::string a = local.WriteFile("a.bin", std::string(3 << 20, 'a'));
  const std::string b = local.WriteFile("b.txt", "b\nb\n");
  struct Case {
    const char* name;
    std::string password;
    std::string host_dir;
    bool succeeds;
  };
  const Case kCases[] = {
      {"stored", server.password(), "", true},
      {"wrong password", "wrong", "", false},
      {"missing directory", server.password(), "/missing", false},
  };
  for (const Case& c : kCases) {
    const std::map<int, std::string> before = OpenDescriptors();
    std::string console;
    EXPECT_EQ(HandleSite(SiteIni(server.host(), server.port(), server.user(), c.password,
                                 c.host_dir),
                         {a, b}, &console),
              c.succeeds)
        << c.name << ": " << console;
    EXPECT_EQ(OpenDescriptors(), before) << c.name;
  }
  EXPECT_EQ(server.ReadFile("a.bin"), std::string(3 << 20, 'a'));
}

// Peak memory of the program does not follow the file's size: files are
// sent from the kernel's page cache (binary) or in fixed blocks (ASCII).
TEST(ProgramMemoryTest, PeakDoesNotGrowWithTheFileSize) {
  RealFtpServer server;
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  TempDir local;
  TempDir bin;
  const std::string ini = "[0]\nLocalDir=" + local.path() + "/\nHost=" + server.host() +
                          "\nPort=" + std::to_string(server.port()) + "\nUserID=" +
                          server.user() + "\nPassword=" + server.password() +
                          "\n[AsciiMode]\ntxt=1\n";
  const std::string program = InstallProgram(bin, ini);

  // Sparse files: their size costs neither disk nor time to write.
  auto sparse = [&local](const std::string& name, off_t size) {
    const std::string path = local.WriteFile(name, "");
    EXPECT_EQ(::truncate(path.c_str(), size), 0) << path;
    return path;
  };
  struct Case {
    const char* extension;
    off_t small_bytes;
    off_t large_bytes;
  };
  // ASCII passes every byte through the program's own buffers: a smaller
  // large file keeps the test quick.
  const Case kCases[] = {{"bin", 8 << 20, 256 << 20}, {"txt", 8 << 20, 64 << 20}};
  for (const Case& c : kCases) {
    const std::string small = sparse(std::string("small.") + c.extension, c.small_bytes);
    const std::string large = sparse(std::string("large.") + c.extension, c.large_bytes);
    const MeasuredRun small_run = RunMeasured(program, {small}, {}, 120000);
    const MeasuredRun large_run = RunMeasured(program, {large}, {}, 120000);
    ASSERT_EQ(small_run.exit_status, 0) << small_run.output;
    ASSERT_EQ(large_run.exit_status, 0) << large_run.output;
    // Generous: the difference of sizes is 56 MiB and more.
    EXPECT_LT(large_run.peak_rss_kib, small_run.peak_rss_kib + 4 * 1024)
        << c.extension << ": " << small_run.peak_rss_kib << " KiB for " << c.small_bytes
        << " bytes, " << large_run.peak_rss_kib << " KiB for " << c.large_bytes << " bytes";
    std::filesystem::remove(server.root() + "/large." + c.extension);
  }
}

}  // namespace
}  // namespace varnolet::testing
