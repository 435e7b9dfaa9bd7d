// Standard output over write(2).

#include <errno.h>
#include <unistd.h>

#include <string>

#include "console.h"
#include "errors.h"

namespace varnolet {

namespace {

// Writes all of bytes to fd 1. Returns 0 or the errno of the failure.
int WriteAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

// Kept out of line so that its return address points into the code that
// failed to write, which the failure report names.
[[noreturn, gnu::noinline]] void ThrowInOutError(int error_code) {
  throw EInOutError(error_code, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

}  // namespace

void StdoutConsole::WriteLine(std::string_view text) {
  // One write per line, so that nothing of a line is left waiting in a buffer.
  std::string line;
  line.reserve(text.size() + 2);
  line.append(text).append("\r\n");
  if (const int error = WriteAll(line); error != 0) ThrowInOutError(error);
}

void WriteStdoutIgnoringErrors(std::string_view bytes) { (void)WriteAll(bytes); }

}  // namespace varnolet
