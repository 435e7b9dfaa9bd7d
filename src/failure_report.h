// The failure report written when an error ends the run.
//
// "<class>がモジュール <module> の <offset> で発生しました。" LF <message>[.] CR LF,
// in Shift_JIS, cut at 1024 bytes. <offset> is the failing code's offset from
// the executable's load address in 8 uppercase hexadecimal digits.

#ifndef VARNOLET_FAILURE_REPORT_H_
#define VARNOLET_FAILURE_REPORT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace varnolet {

constexpr size_t kMaxFailureReportBytes = 1024;

// The report's bytes. module_name is the executable's file name with its extension.
std::string FormatFailureReport(std::string_view class_name, std::string_view module_name,
                                uint32_t code_offset, std::string_view message);

// The message of a failed write: "I/O エラー (<errno>)" in Shift_JIS.
std::string InOutErrorMessage(int error_code);
// The message of exhausted memory: "メモリが足りません" in Shift_JIS.
std::string OutOfMemoryMessage();

// The offset of a code address from the executable's load address.
uint32_t CodeOffset(uintptr_t code_address);

}  // namespace varnolet

#endif  // VARNOLET_FAILURE_REPORT_H_
