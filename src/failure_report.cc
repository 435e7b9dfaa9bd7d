#include "failure_report.h"

#include <cstdio>

#include "errors.h"

// The linker's symbol for the first byte of the executable's image; with a
// position-independent executable it moves with the load address.
extern "C" char __executable_start;

namespace varnolet {

namespace {

// "がモジュール " / " の " / " で発生しました。" in Shift_JIS.
constexpr std::string_view kOccurredInModule =
    "\x82\xAA\x83\x82\x83\x57\x83\x85\x81\x5B\x83\x8B ";
constexpr std::string_view kAt = " \x82\xCC ";
constexpr std::string_view kOccurred =
    " \x82\xC5\x94\xAD\x90\xB6\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42";
// "I/O エラー (" and "メモリが足りません" in Shift_JIS.
constexpr std::string_view kInOutError = "I/O \x83\x47\x83\x89\x81\x5B (";
constexpr std::string_view kOutOfMemory =
    "\x83\x81\x83\x82\x83\x8A\x82\xAA\x91\xAB\x82\xE8\x82\xDC\x82\xB9\x82\xF1";

}  // namespace

std::string FormatFailureReport(std::string_view class_name, std::string_view module_name,
                                uint32_t code_offset, std::string_view message) {
  char offset[9];
  std::snprintf(offset, sizeof offset, "%08X", static_cast<unsigned>(code_offset));

  std::string report;
  report.append(class_name).append(kOccurredInModule).append(module_name);
  report.append(kAt).append(offset).append(kOccurred);
  report.push_back('\n');
  report.append(message);
  if (!message.empty() && message.back() != '.') report.push_back('.');
  report.append("\r\n");
  if (report.size() > kMaxFailureReportBytes) report.resize(kMaxFailureReportBytes);
  return report;
}

std::string InOutErrorMessage(int error_code) {
  std::string message(kInOutError);
  message.append(std::to_string(error_code)).push_back(')');
  return message;
}

std::string OutOfMemoryMessage() { return std::string(kOutOfMemory); }

uint32_t CodeOffset(uintptr_t code_address) {
  const auto base = reinterpret_cast<uintptr_t>(&__executable_start);
  if (code_address < base) return 0;
  return static_cast<uint32_t>(code_address - base);
}

EInOutError::EInOutError(int error_code, uintptr_t code_address)
    : RunError("EInOutError", InOutErrorMessage(error_code), code_address),
      error_code_(error_code) {}

EOutOfMemory::EOutOfMemory(uintptr_t code_address)
    : RunError("EOutOfMemory", OutOfMemoryMessage(), code_address) {}

}  // namespace varnolet
