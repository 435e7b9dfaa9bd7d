// Helpers for tests that run the real program: temporary directories, an
// installed copy of the program with its INI beside it, and a bounded run that
// captures standard output and the exit status.

#ifndef VARNOLET_TESTS_TEST_SUPPORT_H_
#define VARNOLET_TESTS_TEST_SUPPORT_H_

#include <cstdint>
#include <string>
#include <vector>

namespace varnolet::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // Writes content to path()/relative, making the directories on the way.
  // Returns the file's full path.
  std::string WriteFile(const std::string& relative, const std::string& content) const;

 private:
  std::string path_;
};

// The whole content of a file; fails the test when it cannot be read.
std::string ReadFileOrDie(const std::string& path);
// The names in a directory, sorted, without "." and "..".
std::vector<std::string> ListDir(const std::string& path);

// Copies the built program into dir as "varnolet" and returns its path. When
// ini is given it is written beside it as "varnolet.ini".
std::string InstallProgram(const TempDir& dir);
std::string InstallProgram(const TempDir& dir, const std::string& ini);
// The same with the program's test build, which takes its network bounds from
// VARNOLET_TEST_TIMEOUT_MS (milliseconds) when that is set.
std::string InstallHookedProgram(const TempDir& dir, const std::string& ini);

// How standard output is set up: a pipe the test reads, closed, /dev/full
// (every write fails with ENOSPC), or a pipe whose reader is already gone
// (EPIPE).
// A 127.0.0.1 port where nothing listens (bound, then released again); 0 when
// none could be had.
uint16_t UnusedLoopbackPort();

enum class StdoutMode { kCapture, kClosed, kDevFull, kBrokenPipe };

struct ProgramResult {
  int exit_status = -1;  // -1 when the program was killed or did not end in time
  std::string output;    // standard output's bytes (kCapture only)
};

// Runs program with args (not through a shell), standard input from /dev/null
// and standard error inherited. Kills it after timeout_seconds.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         StdoutMode mode = StdoutMode::kCapture, int timeout_seconds = 60);

}  // namespace varnolet::testing

#endif  // VARNOLET_TESTS_TEST_SUPPORT_H_
