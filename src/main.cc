// varnolet FILE...
//
// Publishes FILE... to every FTP site of the configuration file beside the
// executable whose local root holds the first FILE. Exit status: 0 when every
// selected site did all its work (or none was selected), 2 when a site failed,
// 1 when an error (a failed write to standard output, exhausted memory) ended
// the run; then the failure report is written to standard output.

#include <signal.h>

#include <cstdlib>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "cmdline.h"
#include "config.h"
#include "console.h"
#include "errors.h"
#include "failure_report.h"
#include "ftp_session.h"
#include "locale.h"
#include "paths.h"
#include "run.h"
#include "upload.h"

namespace {

void WriteFailureReport(const varnolet::RunError& error) {
  const varnolet::PathRules& paths = varnolet::ProcessPathRules();
  const std::string module = paths.FileNamePart(varnolet::ExecutablePath());
  varnolet::WriteStdoutIgnoringErrors(varnolet::FormatFailureReport(
      error.class_name(), module, varnolet::CodeOffset(error.code_address()), error.what()));
}

#ifdef VARNOLET_TEST_HOOKS
// The build for tests only: VARNOLET_TEST_TIMEOUT_MS replaces the network
// bounds (connect, reply, data), so that a test of a silent server ends in a
// second instead of a minute. The program users run reads no such variable.
void ApplyTestHooks() {
  const char* text = std::getenv("VARNOLET_TEST_TIMEOUT_MS");
  if (text == nullptr) return;
  const int ms = std::atoi(text);
  if (ms <= 0) return;
  varnolet::FtpOptions options;
  options.connect_ms = options.reply_ms = options.data_idle_ms = ms;
  options.quit_ms = std::min(options.quit_ms, ms);
  varnolet::SetDefaultFtpOptions(options);
}
#else
void ApplyTestHooks() {}
#endif

[[gnu::noinline]] int Run(int argc, char** argv) {
  ApplyTestHooks();
  varnolet::DetectLeadBytes();
  const varnolet::PathRules& paths = varnolet::ProcessPathRules();
  const std::vector<std::string> arguments = varnolet::FileArguments(argc, argv);
  // Without the executable's own path there is no INI to read: never fall
  // back to a ".ini" in the current directory.
  const std::string executable = varnolet::ExecutablePath();
  varnolet::IniReader ini(executable.empty() ? std::string() : paths.IniPathFor(executable));
  varnolet::StdoutConsole console;
  return varnolet::ScanSites(ini, arguments, paths, console, varnolet::UploadSite);
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe on standard output or a dropped connection must show up as
  // a failed write, never kill the process.
  ::signal(SIGPIPE, SIG_IGN);
  try {
    try {
      return Run(argc, argv);
    } catch (const std::bad_alloc&) {
      // The allocation that failed lies in the library; name the run itself.
      throw varnolet::EOutOfMemory(reinterpret_cast<uintptr_t>(&Run));
    }
  } catch (const varnolet::RunError& error) {
    WriteFailureReport(error);
    return varnolet::kExitFailure;
  }
}
