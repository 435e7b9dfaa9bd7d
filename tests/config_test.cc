#include "config.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace varnolet {
namespace {

using namespace std::string_literals;  // "...\0..."s keeps NUL bytes

// --- The number grammar, as "Port" reads it with the default 21 ---

TEST(ReadNumberTest, PortTable) {
  const struct {
    const char* line;  // nullptr: no Port line at all
    int32_t port;
  } cases[] = {
      {nullptr, 21},
      {"Port=21", 21},
      {"Port=+21", 21},
      {"Port=0021", 21},
      {"Port=0x15", 21},
      {"Port=0X15", 21},
      {"Port=$15", 21},
      {"Port=$0015", 21},
      {"Port=x15", 21},
      {"Port=X15", 21},
      {"Port=2121", 2121},
      {"Port=0", 0},
      {"Port=-1", -1},
      {"Port=-0", 0},
      {"Port=70000", 70000},  // kept whole; the connection takes the low 16 bits
      {"Port=2147483647", 2147483647},
      {"Port=-2147483648", INT32_MIN},
      {"Port=2147483648", 21},
      {"Port=-2147483649", 21},
      {"Port=99999999999999999999", 21},
      {"Port=$FFFFFFFF", -1},
      {"Port=0xffffffff", -1},
      {"Port=$80000000", INT32_MIN},
      {"Port=$7fffffff", 2147483647},
      {"Port=$000000015", 21},  // leading zeros are no significant digits
      {"Port=$100000000", 21},  // nine significant digits
      {"Port=abc", 21},
      {"Port=", 21},
      {"Port=0x", 21},
      {"Port=$", 21},
      {"Port=x", 21},
      {"Port=-", 21},
      {"Port=+", 21},
      {"Port=-0x15", 21},
      {"Port=-$10", 21},
      {"Port=+0x10", 21},
      {"Port=$-10", 21},
      {"Port=0x+10", 21},
      {"Port=2.5", 21},
      {"Port=21;", 21},
      {"Port=1e3", 21},
      {"Port=0x1G", 21},
      {"Port=$ 15", 21},
      {"Port=- 21", 21},
  };
  for (const auto& c : cases) {
    std::string file = "[0]\nHost=h\n";
    if (c.line != nullptr) file += std::string(c.line) + "\n";
    IniReader reader = IniReader::FromText(file);
    EXPECT_EQ(c.port, reader.ReadNumber("0", "Port", 21)) << (c.line ? c.line : "(absent)");
  }
}

// Blanks around a value are trimmed by the reader, so the grammar's own rules
// on spaces are checked on the text itself.
TEST(ReadNumberTest, SpacesInTheGrammar) {
  EXPECT_EQ(21, ParseNumber(" 21"));
  EXPECT_EQ(21, ParseNumber("   0x15"));
  EXPECT_EQ(std::nullopt, ParseNumber("2121 "));
  EXPECT_EQ(std::nullopt, ParseNumber("\t21"));  // only spaces lead
  EXPECT_EQ(std::nullopt, ParseNumber("   "));
  EXPECT_EQ(std::nullopt, ParseNumber(""));
  EXPECT_EQ(std::nullopt, ParseNumber("21\0"s));
  EXPECT_EQ(std::nullopt, ParseNumber(" - 1"));
}

TEST(ReadFlagTest, AsciiModeValues) {
  const struct {
    const char* value;  // nullptr: no such key
    bool ascii;
  } cases[] = {
      {"1", true},   {"2", true},   {"-1", true},    {"0x1", true}, {"$FFFFFFFF", true},
      {"0", false},  {"00", false}, {"$0", false},   {"-0", false}, {"true", false},
      {"", false},   {nullptr, false}, {"yes", false},
  };
  for (const auto& c : cases) {
    std::string file = "[AsciiMode]\nother=1\n";
    if (c.value != nullptr) file += "txt=" + std::string(c.value) + "\n";
    IniReader reader = IniReader::FromText(file);
    SCOPED_TRACE(c.value ? c.value : "(absent)");
    EXPECT_EQ(c.ascii, reader.ReadFlag("AsciiMode", "txt", false));
    // An invalid or absent value gives the caller's default either way.
    const bool valid = c.value != nullptr && ParseNumber(c.value).has_value();
    EXPECT_EQ(valid ? c.ascii : true, reader.ReadFlag("AsciiMode", "txt", true));
  }
  IniReader no_section = IniReader::FromText("[0]\nHost=h\n");
  EXPECT_FALSE(no_section.ReadFlag("AsciiMode", "html", false));
}

// --- Names and sections ---

TEST(IniReaderTest, NamesMatchWithoutLetterCase) {
  IniReader reader = IniReader::FromText(
      "[AsciiMode]\nhtml=1\n"
      "[0]\nLocalDir=C:\\Web\\\nHOST=ftp.example\nport=2121\n");
  EXPECT_TRUE(reader.ReadFlag("asciimode", "HTML", false));
  EXPECT_TRUE(reader.ReadFlag("ASCIIMODE", "Html", false));
  EXPECT_EQ("C:\\Web\\", reader.ReadText("0", "localdir", "\"\""));  // value keeps its case
  EXPECT_EQ("ftp.example", reader.ReadText("0", "Host", ""));
  EXPECT_EQ(2121, reader.ReadNumber("0", "PORT", 21));
  EXPECT_TRUE(reader.SectionHasKeys("ASCIIMODE"));
}

TEST(IniReaderTest, AbsentKeysAndSectionsGiveDefaults) {
  IniReader reader = IniReader::FromText("[0]\nHost=h\n");
  EXPECT_EQ("\"\"", reader.ReadText("0", "LocalDir", "\"\""));
  EXPECT_EQ("dflt", reader.ReadText("9", "Host", "dflt"));
  EXPECT_EQ(21, reader.ReadNumber("9", "Port", 21));
  EXPECT_FALSE(reader.SectionHasKeys("9"));
}

TEST(IniReaderTest, SectionHasKeysFollowsTheNumbering) {
  IniReader reader = IniReader::FromText(
      "[0]\nLocalDir=/a\n"
      "[1]\nNote=old\n"
      "[3]\nLocalDir=/c\n"
      "[4]\n"
      "[5]\n; only a comment\n\n"
      "[6]\nno equals sign here\n"
      "[01]\nLocalDir=/x\n");
  EXPECT_TRUE(reader.SectionHasKeys("0"));
  EXPECT_TRUE(reader.SectionHasKeys("1"));
  EXPECT_FALSE(reader.SectionHasKeys("2"));
  EXPECT_TRUE(reader.SectionHasKeys("3"));
  EXPECT_FALSE(reader.SectionHasKeys("4"));  // a header with no key
  EXPECT_FALSE(reader.SectionHasKeys("5"));
  EXPECT_FALSE(reader.SectionHasKeys("6"));
  EXPECT_TRUE(reader.SectionHasKeys("01"));  // a name of its own, not site 1
  EXPECT_EQ("/x", reader.ReadText("01", "LocalDir", ""));
  EXPECT_EQ("", reader.ReadText("1", "LocalDir", ""));
}

TEST(IniReaderTest, FirstOfRepeatedSectionsAndKeysAnswers) {
  IniReader reader = IniReader::FromText(
      "[1]\nHost=first\nHost=second\nhost=third\n"
      "[0]\n"
      "[1]\nHost=other\nPort=99\n"
      "[0]\nHost=late\n");
  EXPECT_EQ("first", reader.ReadText("1", "Host", ""));
  EXPECT_EQ(21, reader.ReadNumber("1", "Port", 21));  // the repeated section is not read
  EXPECT_FALSE(reader.SectionHasKeys("0"));  // its first occurrence has no key
}

TEST(IniReaderTest, LineSyntax) {
  IniReader reader = IniReader::FromText(
      "Orphan=before any section\n"
      "  [ Site One ]  trailing text\n"
      "  Host  =  ftp.example  \n"
      "\tUserID\t=\tme\t\n"
      "; Password=commented\n"
      "  ;Port=1\n"
      "Quoted=\"  a b  \"\n"
      "Single='x'\n"
      "Mixed=\"x'\n"
      "Lone=\"\n"
      "Inner=a\"b\"\n"
      "Both=\"\"\n"
      "Semicolon=a;b\n"
      "Equals=a=b\n"
      "=empty name\n"
      "Empty=\n"
      "just text\n"
      "[unclosed\n"
      "After=still in Site One\n");
  const struct {
    const char* key;
    const char* value;  // nullptr: absent
  } cases[] = {
      {"Orphan", nullptr},
      {"Host", "ftp.example"},
      {"UserID", "me"},
      {"Password", nullptr},
      {"Port", nullptr},
      {";Port", nullptr},
      {"Quoted", "  a b  "},
      {"Single", "x"},
      {"Mixed", "\"x'"},
      {"Lone", "\""},
      {"Inner", "a\"b\""},
      {"Both", ""},
      {"Semicolon", "a;b"},
      {"Equals", "a=b"},
      {"", "empty name"},
      {"Empty", ""},
      {"just text", nullptr},
      {"After", "still in Site One"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(c.value ? c.value : "<absent>", reader.ReadText("site one", c.key, "<absent>"));
  }
  EXPECT_FALSE(reader.SectionHasKeys(""));
}

TEST(IniReaderTest, ByteOrderMarkAndLineEnds) {
  for (const std::string& eol : {"\n"s, "\r\n"s, "\r"s}) {
    SCOPED_TRACE(eol == "\n" ? "LF" : eol == "\r" ? "CR" : "CRLF");
    const std::string file =
        "\xEF\xBB\xBF[0]" + eol + "Host=h" + eol + eol + "Port=2121" + eol + "[1]" + eol + "Host=last";
    IniReader reader = IniReader::FromText(file);
    EXPECT_TRUE(reader.SectionHasKeys("0"));
    EXPECT_EQ("h", reader.ReadText("0", "Host", ""));
    EXPECT_EQ(2121, reader.ReadNumber("0", "Port", 21));
    EXPECT_EQ("last", reader.ReadText("1", "Host", ""));  // no final line end
  }
  // A BOM is skipped only at the very start.
  IniReader later = IniReader::FromText("[0]\n\xEF\xBB\xBFHost=h\n");
  EXPECT_EQ("", later.ReadText("0", "Host", ""));
  EXPECT_EQ("h", later.ReadText("0", "\xEF\xBB\xBFHost", ""));
}

TEST(IniReaderTest, LongValuesAreCut) {
  const std::string host(3000, 'h');
  std::string numbered;
  for (int i = 0; i < 3000; ++i) numbered.push_back(static_cast<char>('a' + i % 26));
  IniReader reader = IniReader::FromText("[0]\nHost=" + host + "\nName=\"" + numbered +
                                         "\"\nExact=" + std::string(2047, 'e') + "\n");
  EXPECT_EQ(host.substr(0, kMaxValueBytes), reader.ReadText("0", "Host", ""));
  // The quotes go first, then the cut: the value begins with the first letter.
  EXPECT_EQ(numbered.substr(0, kMaxValueBytes), reader.ReadText("0", "Name", ""));
  EXPECT_EQ(std::string(2047, 'e'), reader.ReadText("0", "Exact", ""));
}

TEST(IniReaderTest, ValuesEndAtNul) {
  IniReader reader = IniReader::FromText("[0]\nHost=ab\0cd\nPort=21\0x\n[\0]\nA=1\n"s);
  EXPECT_EQ("ab", reader.ReadText("0", "Host", ""));
  EXPECT_EQ(21, reader.ReadNumber("0", "Port", 7));
  EXPECT_EQ("1", reader.ReadText("\0"s, "a", ""));
}

TEST(IniReaderTest, HostileContentIsReadWithoutCrashing) {
  std::mt19937 random(4711);
  for (int round = 0; round < 200; ++round) {
    std::string garbage(1 + random() % 4096, '\0');
    for (char& c : garbage) {
      // Bias towards the bytes that matter to the parser.
      static const char kSpecial[] = "[]=;\r\n \t\"'\0\xEF\xBB\xBF";
      c = random() % 2 ? kSpecial[random() % (sizeof kSpecial - 1)]
                       : static_cast<char>(random() % 256);
    }
    IniReader reader = IniReader::FromText(garbage);
    reader.SectionHasKeys("0");
    EXPECT_LE(reader.ReadText("0", "Host", "").size(), kMaxValueBytes);
    reader.ReadNumber("", "", 21);
    reader.ReadFlag("AsciiMode", "", false);
  }

  const std::string megabyte_line(1 << 20, 'x');
  IniReader long_key = IniReader::FromText("[0]\nHost=" + megabyte_line);
  EXPECT_EQ(megabyte_line.substr(0, kMaxValueBytes), long_key.ReadText("0", "Host", ""));
  IniReader long_header = IniReader::FromText("[" + megabyte_line + "\n[0]\nHost=h\n");
  EXPECT_EQ("h", long_header.ReadText("0", "Host", ""));
  IniReader long_name = IniReader::FromText("[0]\n" + megabyte_line + "=v\nHost=h");
  EXPECT_EQ("v", long_name.ReadText("0", megabyte_line, ""));
  IniReader all_nul = IniReader::FromText(std::string(100000, '\0'));
  EXPECT_FALSE(all_nul.SectionHasKeys("0"));
  IniReader only_ends = IniReader::FromText(std::string(100000, '\r'));
  EXPECT_FALSE(only_ends.SectionHasKeys("0"));
}

TEST(IniReaderTest, ManySitesAreAllIndexed) {
  std::string file;
  const int kSites = 100000;
  for (int i = 0; i < kSites; ++i) {
    file += "[" + std::to_string(i) + "]\nLocalDir=/srv/" + std::to_string(i) + "\n";
  }
  IniReader reader = IniReader::FromText(file);
  for (int i : {0, 1, 4999, kSites - 1}) {
    EXPECT_EQ("/srv/" + std::to_string(i), reader.ReadText(std::to_string(i), "LocalDir", ""));
  }
  EXPECT_FALSE(reader.SectionHasKeys(std::to_string(kSites)));
}

// --- Real files ---

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = std::filesystem::temp_directory_path() / "varnolet-config-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern.data()));
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::string dir_;
};

TEST_F(IniFileTest, ReadsTheFileOnceAtTheFirstLookup) {
  const std::string path = dir_ + "/varnolet.ini";
  IniReader reader(path);  // the file does not exist yet: opening reads nothing
  {
    std::ofstream out(path, std::ios::binary);
    out << "[0]\r\nLocalDir=C:\\web\\\r\nHost=127.0.0.1\r\n[AsciiMode]\r\nhtml=1\r\n";
  }
  EXPECT_TRUE(reader.SectionHasKeys("0"));
  EXPECT_EQ("C:\\web\\", reader.ReadText("0", "LocalDir", "\"\""));
  // Later changes to the file are not seen: it was read once.
  ASSERT_EQ(0, unlink(path.c_str()));
  EXPECT_EQ("127.0.0.1", reader.ReadText("0", "Host", ""));
  EXPECT_TRUE(reader.ReadFlag("AsciiMode", "HTML", false));
}

TEST_F(IniFileTest, MissingFileHasNoSectionsAndIsNotCreated) {
  const std::string path = dir_ + "/missing.ini";
  IniReader reader(path);
  EXPECT_FALSE(reader.SectionHasKeys("0"));
  EXPECT_EQ("\"\"", reader.ReadText("0", "LocalDir", "\"\""));
  EXPECT_EQ(21, reader.ReadNumber("0", "Port", 21));
  EXPECT_FALSE(std::filesystem::exists(path));

  IniReader directory(dir_);  // a directory reads as a missing file
  EXPECT_FALSE(directory.SectionHasKeys("0"));
}

}  // namespace
}  // namespace varnolet
