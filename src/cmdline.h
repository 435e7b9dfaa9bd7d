// The command line: the executable's path and the file arguments.

#ifndef VARNOLET_CMDLINE_H_
#define VARNOLET_CMDLINE_H_

#include <string>
#include <vector>

namespace varnolet {

// The running executable's full path as the kernel reports it
// (/proc/self/exe), never truncated. Empty if it cannot be read.
std::string ExecutablePath();

// Arguments 1..N from argv: every double-quote byte is removed from each
// element, and an element that is then empty is no argument.
std::vector<std::string> FileArguments(int argc, const char* const* argv);

}  // namespace varnolet

#endif  // VARNOLET_CMDLINE_H_
