#include "failure_report.h"

#include <gtest/gtest.h>

#include <string>

namespace varnolet {
namespace {

// "がモジュール " ... " の " ... " で発生しました。" in Shift_JIS.
const std::string kHead = "\x82\xAA\x83\x82\x83\x57\x83\x85\x81\x5B\x83\x8B ";
const std::string kAt = " \x82\xCC ";
const std::string kTail = " \x82\xC5\x94\xAD\x90\xB6\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42";

TEST(FailureReport, InOutErrorHasTheFixedShape) {
  EXPECT_EQ(FormatFailureReport("EInOutError", "varnolet", 0x1A2B, InOutErrorMessage(32)),
            "EInOutError" + kHead + "varnolet" + kAt + "00001A2B" + kTail + "\n" +
                "I/O \x83\x47\x83\x89\x81\x5B (32)." + "\r\n");
}

TEST(FailureReport, MessageGetsOneFinalDot) {
  struct Case {
    std::string message;
    std::string expected_end;
  } cases[] = {
      {"abc", "\nabc.\r\n"},
      {"abc.", "\nabc.\r\n"},
      {"", "\n\r\n"},
  };
  for (const Case& c : cases) {
    const std::string report = FormatFailureReport("E", "m", 0, c.message);
    ASSERT_GE(report.size(), c.expected_end.size());
    EXPECT_EQ(report.substr(report.size() - c.expected_end.size()), c.expected_end) << c.message;
  }
}

TEST(FailureReport, OutOfMemoryMessageIsShiftJis) {
  EXPECT_EQ(OutOfMemoryMessage(),
            "\x83\x81\x83\x82\x83\x8A\x82\xAA\x91\xAB\x82\xE8\x82\xDC\x82\xB9\x82\xF1");
}

TEST(FailureReport, CutAt1024Bytes) {
  const std::string report = FormatFailureReport("EInOutError", std::string(3000, 'm'), 0, "x");
  EXPECT_EQ(report.size(), kMaxFailureReportBytes);
  EXPECT_EQ(report.substr(0, 11), "EInOutError");
}

}  // namespace
}  // namespace varnolet
