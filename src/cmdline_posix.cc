// The command line on Linux: argv, and the executable's path from /proc.

#include <errno.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cmdline.h"

namespace varnolet {

std::string ExecutablePath() {
  // readlink does not say whether it truncated: grow until the answer fits.
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::vector<std::string> FileArguments(int argc, const char* const* argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    std::string argument;
    for (const char* p = argv[i]; *p != '\0'; ++p) {
      if (*p != '"') argument.push_back(*p);
    }
    if (!argument.empty()) arguments.push_back(std::move(argument));
  }
  return arguments;
}

}  // namespace varnolet
