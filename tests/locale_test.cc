#include "locale.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <clocale>
#include <filesystem>
#include <string>

namespace varnolet {
namespace {

enum class Expected { kNone, kShiftJis, kWide };

LeadByteSet SetFor(Expected expected) {
  switch (expected) {
    case Expected::kShiftJis:
      return LeadByteSet::ShiftJis();
    case Expected::kWide:
      return LeadByteSet::WideDoubleByte();
    case Expected::kNone:
      break;
  }
  return LeadByteSet();
}

// Compares all 256 flags, reporting the first value that differs.
::testing::AssertionResult SameSet(const LeadByteSet& expected, const LeadByteSet& actual) {
  for (int value = 0; value < 256; ++value) {
    const auto byte = static_cast<uint8_t>(value);
    if (expected.Contains(byte) != actual.Contains(byte)) {
      return ::testing::AssertionFailure()
             << "byte 0x" << std::hex << value << " expected " << expected.Contains(byte);
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(LeadBytesForCodesetTest, Table) {
  const struct {
    const char* codeset;
    Expected expected;
  } cases[] = {
      // The Shift_JIS family, in the spellings the C library and users give.
      {"SHIFT_JIS", Expected::kShiftJis},
      {"Shift_JIS", Expected::kShiftJis},
      {"shift-jis", Expected::kShiftJis},
      {"SHIFTJIS", Expected::kShiftJis},
      {"SJIS", Expected::kShiftJis},
      {"sjis", Expected::kShiftJis},
      {"CP932", Expected::kShiftJis},
      {"cp-932", Expected::kShiftJis},
      {"WINDOWS-31J", Expected::kShiftJis},
      {"Windows_31J", Expected::kShiftJis},
      {"MS_KANJI", Expected::kShiftJis},
      {"ms-kanji", Expected::kShiftJis},
      // Chinese, Taiwanese and Korean double-byte codesets.
      {"GBK", Expected::kWide},
      {"gbk", Expected::kWide},
      {"CP936", Expected::kWide},
      {"GB18030", Expected::kWide},
      {"BIG5", Expected::kWide},
      {"Big5", Expected::kWide},
      {"BIG5-HKSCS", Expected::kWide},
      {"big5hkscs", Expected::kWide},
      {"CP950", Expected::kWide},
      {"EUC-KR", Expected::kWide},
      {"euc_kr", Expected::kWide},
      {"CP949", Expected::kWide},
      {"UHC", Expected::kWide},
      // Everything else: no separator-valued byte ever ends a character.
      {"UTF-8", Expected::kNone},
      {"utf8", Expected::kNone},
      {"ANSI_X3.4-1968", Expected::kNone},
      {"ASCII", Expected::kNone},
      {"ISO-8859-1", Expected::kNone},
      {"ISO-8859-15", Expected::kNone},
      {"EUC-JP", Expected::kNone},
      {"GB2312", Expected::kNone},
      {"", Expected::kNone},
      // Near misses are whole-name mismatches, not prefixes or substrings.
      {"SJIS2", Expected::kNone},
      {"XSJIS", Expected::kNone},
      {"CP9320", Expected::kNone},
      {"GB", Expected::kNone},
      {"SHIFT JIS", Expected::kNone},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(SameSet(SetFor(c.expected), LeadBytesForCodeset(c.codeset)))
        << "codeset '" << c.codeset << "'";
  }
}

TEST(LeadBytesForCodesetTest, RangeBoundaries) {
  const LeadByteSet sjis = LeadByteSet::ShiftJis();
  for (int value : {0x81, 0x9F, 0xE0, 0xFC}) EXPECT_TRUE(sjis.Contains(value)) << value;
  for (int value : {0x00, 0x5C, 0x80, 0xA0, 0xDF, 0xFD, 0xFF}) {
    EXPECT_FALSE(sjis.Contains(value)) << value;
  }
  const LeadByteSet wide = LeadByteSet::WideDoubleByte();
  for (int value : {0x81, 0xA0, 0xFE}) EXPECT_TRUE(wide.Contains(value)) << value;
  for (int value : {0x5C, 0x80, 0xFF}) EXPECT_FALSE(wide.Contains(value)) << value;
}

// Runs DetectLeadBytes under LC_ALL=locale (with LOCPATH=locpath when given)
// and leaves the process as it found it: C locale, no lead bytes.
class DetectLeadBytesTest : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetenv("LC_ALL");
    unsetenv("LOCPATH");
    std::setlocale(LC_CTYPE, "C");
    SetProcessPathRules(LeadByteSet());
    if (!temp_dir_.empty()) std::filesystem::remove_all(temp_dir_);
  }

  std::string DetectUnder(const char* locale, const std::string& locpath = "") {
    std::setlocale(LC_CTYPE, "C");  // as in a fresh process
    setenv("LC_ALL", locale, 1);
    if (!locpath.empty()) setenv("LOCPATH", locpath.c_str(), 1);
    SetProcessPathRules(LeadByteSet::WideDoubleByte());  // to see that it is replaced
    DetectLeadBytes();
    return CurrentCodeset();
  }

  std::string temp_dir_;
};

TEST_F(DetectLeadBytesTest, SingleByteAndUtf8LocalesHaveNoLeadBytes) {
  EXPECT_EQ("ANSI_X3.4-1968", DetectUnder("C"));
  EXPECT_TRUE(ProcessPathRules().lead_bytes().empty());
  EXPECT_EQ("UTF-8", DetectUnder("C.UTF-8"));
  EXPECT_TRUE(ProcessPathRules().lead_bytes().empty());
  // A locale that is not installed leaves the C locale in force.
  EXPECT_EQ("ANSI_X3.4-1968", DetectUnder("xx_NOWHERE.SJIS"));
  EXPECT_TRUE(ProcessPathRules().lead_bytes().empty());
}

TEST_F(DetectLeadBytesTest, ShiftJisLocale) {
  // No Shift_JIS locale is installed on a usual Linux system; build one in a
  // temporary directory when the locale tools and sources are present.
  std::string pattern = (std::filesystem::temp_directory_path() / "varnolet-locale-XXXXXX");
  ASSERT_NE(nullptr, mkdtemp(pattern.data()));
  temp_dir_ = pattern;
  const std::string command = "timeout 60 localedef -c -i ja_JP -f SHIFT_JIS " + temp_dir_ +
                              "/ja_JP.SJIS >/dev/null 2>&1";
  [[maybe_unused]] int status = std::system(command.c_str());  // warns about 0x5C; judged below
  if (!std::filesystem::exists(temp_dir_ + "/ja_JP.SJIS")) {
    GTEST_SKIP() << "cannot build a Shift_JIS locale here (localedef, ja_JP source)";
  }
  EXPECT_EQ("SHIFT_JIS", DetectUnder("ja_JP.SJIS", temp_dir_));
  EXPECT_TRUE(SameSet(LeadByteSet::ShiftJis(), ProcessPathRules().lead_bytes()));
}

}  // namespace
}  // namespace varnolet
