// The errors that end a run with the failure report and exit status 1.
//
// The program raises no other errors and catches these only at the top level.
// Each carries the address of the code that failed, so the report can name its
// offset in the executable.

#ifndef VARNOLET_ERRORS_H_
#define VARNOLET_ERRORS_H_

#include <cstdint>
#include <stdexcept>
#include <string>

namespace varnolet {

class RunError : public std::runtime_error {
 public:
  RunError(const char* class_name, const std::string& message, uintptr_t code_address)
      : std::runtime_error(message), class_name_(class_name), code_address_(code_address) {}
  const char* class_name() const { return class_name_; }
  uintptr_t code_address() const { return code_address_; }

 private:
  const char* class_name_;
  uintptr_t code_address_;
};

// A write to standard output failed; error_code is the errno.
class EInOutError : public RunError {
 public:
  EInOutError(int error_code, uintptr_t code_address);
  int error_code() const { return error_code_; }

 private:
  int error_code_;
};

// Memory ran out.
class EOutOfMemory : public RunError {
 public:
  explicit EOutOfMemory(uintptr_t code_address);
};

}  // namespace varnolet

#endif  // VARNOLET_ERRORS_H_
