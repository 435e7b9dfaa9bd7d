// The real program over a bad link: the shaping relay (bench/relay.py) with
// 25 ms of delay each way in front of a real server (pyftpdlib). Large and
// many files must arrive byte for byte; a stall, a cut or a reset in the
// middle of a store must end that store as a failure within the bound and
// the run with status 2; a stall on the control connection must cost one
// bound, not one per remaining step.
//
// Cases that wait for a bound need the program's test hook that shortens its
// bounds (measured_run.h); without it they are skipped.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "measured_run.h"
#include "real_ftp_server.h"
#include "relay_process.h"
#include "console_lines.h"
#include "test_support.h"

namespace varnolet::testing {
namespace {

constexpr int kDelayMs = 25;
// The shortened bound. Long enough that one bound is told apart from two
// beyond any noise of a busy machine, short enough to keep the suite quick.
constexpr int kBoundMs = 2000;
constexpr int kRunLimitMs = 60000;

// Bytes that differ from position to position, so a shifted or cut file shows.
std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  for (size_t i = 0; i < size; i += 8) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    for (size_t j = 0; j < 8 && i + j < size; ++j) bytes[i + j] = static_cast<char>(state >> (8 * j));
  }
  return bytes;
}

std::vector<std::string> HookEnv() {
  return {std::string(kTimeoutHookVariable) + "=" + std::to_string(kBoundMs)};
}

class ShapedLinkTest : public ::testing::Test {
 protected:
  // Starts the server and the relay in front of it with the given rules.
  void StartLink(const std::vector<std::string>& rules, long buffer_limit = 0) {
    std::string error;
    ASSERT_TRUE(server_.Start(&error)) << error;
    RelayProcess::Options options;
    options.upstream_port = server_.port();
    options.delay_ms = kDelayMs;
    options.rules = rules;
    options.buffer_limit = buffer_limit;
    ASSERT_TRUE(relay_.Start(options, &error)) << error;
  }

  // The program installed with one site: the local directory to the server's
  // root, through the relay.
  std::string Program() {
    const std::string ini = "[0]\nLocalDir=" + local_.path() + "/\nHost=127.0.0.1\nPort=" +
                            std::to_string(relay_.port()) + "\nUserID=" + server_.user() +
                            "\nPassword=" + server_.password() + "\n";
    return InstallHookedProgram(bin_, ini);
  }

  RealFtpServer server_;
  RelayProcess relay_;
  TempDir local_;
  TempDir bin_;
};

TEST_F(ShapedLinkTest, LargeBinaryFileArrivesByteForByte) {
  StartLink({});
  const std::string bytes = Pattern(64 << 20, 7);
  const std::string file = local_.WriteFile("large.bin", bytes);

  const MeasuredRun run = RunMeasured(Program(), {file}, HookEnv(), kRunLimitMs);
  EXPECT_EQ(run.exit_status, 0) << run.output;
  EXPECT_EQ(run.output, Lines({"127.0.0.1" + kConnecting, file + kUploading,
                               "127.0.0.1" + kDisconnecting}));
  const std::optional<std::string> stored = server_.ReadFile("large.bin");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->size(), bytes.size());
  EXPECT_TRUE(*stored == bytes) << "the stored file differs";
  // Every byte crossed the relay, over one control connection.
  EXPECT_NE(relay_.Command("stats").find("control=1 data=1"), std::string::npos);
}

TEST_F(ShapedLinkTest, ManySmallFilesArriveByteForByte) {
  StartLink({});
  constexpr int kFiles = 200;
  std::vector<std::string> files;
  std::vector<std::string> contents;
  std::vector<std::string> lines = {"127.0.0.1" + kConnecting};
  for (int i = 0; i < kFiles; ++i) {
    // Sizes from empty to a few KiB; every file differs.
    contents.push_back(Pattern(static_cast<size_t>(i * 37 % 5000), 100 + i));
    files.push_back(local_.WriteFile("f" + std::to_string(i) + ".bin", contents.back()));
    lines.push_back(files.back() + kUploading);
  }
  lines.push_back("127.0.0.1" + kDisconnecting);

  const MeasuredRun run = RunMeasured(Program(), files, HookEnv(), kRunLimitMs);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.output, Lines(lines));
  EXPECT_EQ(ListDir(server_.root()).size(), static_cast<size_t>(kFiles));
  for (int i = 0; i < kFiles; ++i) {
    EXPECT_EQ(server_.ReadFile("f" + std::to_string(i) + ".bin"), contents[i]) << i;
  }
  EXPECT_NE(relay_.Command("stats").find("control=1 data=200"), std::string::npos);
}

// What the program must report.
enum class Outcome {
  kConnectFails,     // the login fails
  kFirstStoreFails,  // a.bin fails, the connection stays usable, b.bin is stored
  kBothStoresFail,   // a.bin fails and kills the connection; b.bin fails at once
};

// An interruption of one connection, placed by a relay rule. A stall stops
// both directions of its connection.
struct Interruption {
  const char* name;
  std::string rule;
  size_t first_file_bytes;  // a.bin; b.bin is small
  bool waits_for_a_bound;
  Outcome outcome;
};

void PrintTo(const Interruption& c, std::ostream* out) { *out << c.name; }

// The client's first bytes on the control connection: "USER varnolet", "PASS
// s3cret" (28 bytes), "PWD" (33), "EPSV" (39), "TYPE I" and "STOR a.bin" (59).
const Interruption kInterruptions[] = {
    {"DataStalledMidStore", "stall:data:up:4194304:1", 32 << 20, true, Outcome::kBothStoresFail},
    {"DataCutMidStore", "cut:data:up:4194304:1", 32 << 20, false, Outcome::kFirstStoreFails},
    {"DataResetMidStore", "reset:data:up:4194304:1", 32 << 20, false, Outcome::kFirstStoreFails},
    {"ControlStalledDuringLogin", "stall:control:up:28:1", 100000, true, Outcome::kConnectFails},
    {"ControlStalledAfterPwd", "stall:control:up:33:1", 100000, true, Outcome::kBothStoresFail},
    {"ControlStalledAfterStor", "stall:control:up:59:1", 100000, true, Outcome::kBothStoresFail},
};

class InterruptedLinkTest : public ShapedLinkTest,
                            public ::testing::WithParamInterface<Interruption> {};

TEST_P(InterruptedLinkTest, FailsTheStoreWithinOneBound) {
  const Interruption& c = GetParam();
  // A small read-ahead: the relay must not take in the whole file before the
  // rule fires, or the client would have finished sending (see the report
  // on cuts after the client's last byte).
  StartLink({c.rule}, 1 << 20);
  const std::string b_bytes = Pattern(5000, 2);
  const std::string a = local_.WriteFile("a.bin", Pattern(c.first_file_bytes, 1));
  const std::string b = local_.WriteFile("b.bin", b_bytes);

  const MeasuredRun run = RunMeasured(Program(), {a, b}, HookEnv(), kRunLimitMs);
  EXPECT_EQ(run.exit_status, 2);
  std::vector<std::string> lines = {"127.0.0.1" + kConnecting};
  if (c.outcome == Outcome::kConnectFails) {
    lines.push_back(kConnectFailed);
  } else {
    lines.insert(lines.end(), {a + kUploading, kUploadFailed, b + kUploading});
    if (c.outcome == Outcome::kBothStoresFail) lines.push_back(kUploadFailed);
    lines.push_back("127.0.0.1" + kDisconnecting);
  }
  EXPECT_EQ(run.output, Lines(lines));
  if (c.outcome == Outcome::kFirstStoreFails) {
    EXPECT_EQ(server_.ReadFile("b.bin"), b_bytes);
  }

  // One bound at most: after it the connection is dead and every later step
  // fails at once. Two bounds would take at least 2 * kBoundMs.
  const double bound = kBoundMs / 1000.0;
  if (c.waits_for_a_bound) {
    EXPECT_GE(run.seconds, bound * 0.9);
    EXPECT_LT(run.seconds, 1.5 * bound + 1.0);
  } else {
    EXPECT_LT(run.seconds, bound);
  }
}

INSTANTIATE_TEST_SUITE_P(Rules, InterruptedLinkTest, ::testing::ValuesIn(kInterruptions),
                         [](const ::testing::TestParamInfo<Interruption>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace varnolet::testing
