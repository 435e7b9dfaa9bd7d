// Standard output, where the progress lines and the failure report go.
//
// Every line is written with one write(2) of its bytes followed by CR LF, as
// soon as it is complete, so a broken standard output fails at the first line,
// before the step that line announces. Bytes go out unchanged: the fixed texts
// are already Shift_JIS, and the variable parts are the bytes of the
// configuration or of an argument. Standard output is not touched by a run that
// writes no line.

#ifndef VARNOLET_CONSOLE_H_
#define VARNOLET_CONSOLE_H_

#include <string>
#include <string_view>

namespace varnolet {

class Console {
 public:
  virtual ~Console() = default;
  // Writes text followed by CR LF. On failure throws EInOutError with errno.
  virtual void WriteLine(std::string_view text) = 0;
};

// The process's standard output (file descriptor 1).
class StdoutConsole : public Console {
 public:
  void WriteLine(std::string_view text) override;
};

// Writes bytes to standard output as they are, ignoring any failure. Used for
// the failure report, whose own failure cannot be reported.
void WriteStdoutIgnoringErrors(std::string_view bytes);

}  // namespace varnolet

#endif  // VARNOLET_CONSOLE_H_
