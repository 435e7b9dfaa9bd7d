#include "paths.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace varnolet {
namespace {

// "表" in Shift_JIS: a lead byte and a trail byte with the value of '\'.
const std::string kHyo = "\x95\x5C";

PathRules WindowsSjis() { return PathRules(LeadByteSet::ShiftJis(), SeparatorSet::kWindows); }
PathRules WindowsSingleByte() { return PathRules(LeadByteSet(), SeparatorSet::kWindows); }
PathRules LinuxSjis() { return PathRules(LeadByteSet::ShiftJis(), SeparatorSet::kLinux); }
PathRules LinuxSingleByte() { return PathRules(LeadByteSet(), SeparatorSet::kLinux); }

struct SiteCase {
  std::string local_root;
  std::string argument;
  bool selected;
  std::string relative_dir;  // only checked when selected
};

void CheckSites(const PathRules& rules, const std::vector<SiteCase>& cases) {
  for (const SiteCase& c : cases) {
    SCOPED_TRACE("local root '" + c.local_root + "', argument '" + c.argument + "'");
    ASSERT_EQ(c.selected, PathRules::MatchesLocalRoot(c.local_root, c.argument));
    if (c.selected) {
      EXPECT_EQ(c.relative_dir, rules.RelativeDirFor(c.argument, c.local_root));
    }
  }
}

struct NameCase {
  std::string argument;
  std::string file_name;
  std::string extension;
  std::string key;
};

void CheckNames(const PathRules& rules, const std::vector<NameCase>& cases) {
  for (const NameCase& c : cases) {
    SCOPED_TRACE("argument '" + c.argument + "'");
    EXPECT_EQ(c.file_name, rules.FileNamePart(c.argument));
    EXPECT_EQ(c.file_name, rules.RemoteFileName(c.argument));
    EXPECT_EQ(c.extension, rules.ExtensionPart(c.argument));
    EXPECT_EQ(c.key, rules.AsciiModeKey(c.argument));
  }
}

// Rows whose bytes are all ASCII: the lead-byte set changes nothing in them.
const std::vector<SiteCase> kWindowsAsciiSites = {
    {"C:\\web", "C:\\web\\sub\\a.txt", true, "/sub"},
    {"C:\\web\\", "C:\\web\\sub\\deep\\a.txt", true, "/sub/deep"},
    {"C:\\web\\", "C:\\web\\a.txt", true, ""},
    {"C:\\", "C:\\a.txt", true, ""},
    {"C:\\", "C:\\web\\a.txt", true, "/web"},
    {"C:\\web", "C:\\website\\x.html", true, "site"},
    {"C:\\web\\", "C:\\website\\x.html", false, ""},
    {"c:\\web", "C:\\web\\a.txt", false, ""},
    {"C:\\web\\index", "C:\\web\\index.html", true, ""},
    {"a", "a.txt", true, ""},
    {"", "C:\\web\\a.txt", false, ""},
    {"", "", false, ""},
    {"C:\\web", "", false, ""},
    {"C:\\web\\a.txt\\", "C:\\web\\a.txt", false, ""},  // root longer than the argument
    {"C:\\web", "C:\\web\\docs\\x\\a.html", true, "/docs/x"},
    {"C:\\web\\docs", "C:\\web\\docs\\x\\a.html", true, "/x"},
    {"C:", "C:a.txt", true, ""},
    {"C:\\web", "docs\\a.html", false, ""},
};

const std::vector<NameCase> kWindowsAsciiNames = {
    {"C:\\web\\sub\\a.txt", "a.txt", ".txt", "txt"},
    {"INDEX.HTML", "INDEX.HTML", ".HTML", "HTML"},
    {"C:\\web\\archive.tar.gz", "archive.tar.gz", ".gz", "gz"},
    {"C:\\web.old\\README", "README", "", ""},
    {"C:\\web\\file.", "file.", ".", ""},
    {".htaccess", ".htaccess", ".htaccess", "htaccess"},
    {"C:a.txt", "a.txt", ".txt", "txt"},
    {"C:/web/a.txt", "/web/a.txt", ".txt", "txt"},
    {"C:\\web\\a.txt:s", "s", "", ""},
    {"C:\\web\\", "", "", ""},
    {"", "", "", ""},
};

TEST(WindowsSeparatorsTest, SiteSelectionAndRelativeDirectory) {
  CheckSites(WindowsSjis(), kWindowsAsciiSites);
  CheckSites(WindowsSingleByte(), kWindowsAsciiSites);
}

TEST(WindowsSeparatorsTest, FileNameExtensionAndKey) {
  CheckNames(WindowsSjis(), kWindowsAsciiNames);
  CheckNames(WindowsSingleByte(), kWindowsAsciiNames);
}

TEST(WindowsSeparatorsTest, TrailByteIsNoSeparatorInShiftJis) {
  const std::string arg = "C:\\web\\" + kHyo + "\\index.html";
  ASSERT_EQ(20u, arg.size());
  CheckSites(WindowsSjis(), {
                                {"C:\\web", arg, true, "/" + kHyo},
                                {"C:\\web\\" + kHyo, arg, true, ""},
                            });
  EXPECT_EQ("\x2F\x95\x5C", WindowsSjis().RelativeDirFor(arg, "C:\\web"));
  CheckNames(WindowsSjis(), {
                                {"C:\\web\\" + kHyo, kHyo, "", ""},
                                {"C:\\web\\" + kHyo + ".txt", kHyo + ".txt", ".txt", "txt"},
                                {"C:\\web\\a." + kHyo, "a." + kHyo, "." + kHyo, kHyo},
                            });
}

TEST(WindowsSeparatorsTest, SameBytesCutAsSingleBytesWithoutLeadBytes) {
  const std::string arg = "C:\\web\\" + kHyo + "\\index.html";
  CheckSites(WindowsSingleByte(),
             {
                 {"C:\\web", arg, true, "\x2F\x95\x2F"},
                 // The root's final 0x5C is now a separator and is trimmed: 8
                 // bytes go, and the directory's own final 0x5C remains.
                 {"C:\\web\\" + kHyo, arg, true, "/"},
             });
  CheckNames(WindowsSingleByte(), {
                                      {"C:\\web\\" + kHyo, "", "", ""},
                                      {"C:\\web\\" + kHyo + ".txt", ".txt", ".txt", "txt"},
                                      {"C:\\web\\a." + kHyo, "", "", ""},
                                  });
}

TEST(WindowsSeparatorsTest, IniPath) {
  for (const PathRules& rules : {WindowsSjis(), WindowsSingleByte()}) {
    EXPECT_EQ("C:\\tools\\upload.ini", rules.IniPathFor("C:\\tools\\upload.exe"));
    EXPECT_EQ("C:\\tools\\up.load.ini", rules.IniPathFor("C:\\tools\\up.load.exe"));
    EXPECT_EQ("C:\\web.old\\upload.ini", rules.IniPathFor("C:\\web.old\\upload"));
  }
  EXPECT_EQ("C:\\" + kHyo + ".ini", WindowsSjis().IniPathFor("C:\\" + kHyo + ".exe"));
}

TEST(WindowsSeparatorsTest, DirectoryPartAndTrim) {
  PathRules rules = WindowsSjis();
  EXPECT_EQ("C:", rules.DirectoryPart("C:a.txt"));
  EXPECT_EQ("C:", rules.TrimTrailingBackslash(rules.DirectoryPart("C:a.txt")));
  EXPECT_EQ("C:\\web\\", rules.DirectoryPart("C:\\web\\a.txt"));
  EXPECT_EQ("", rules.DirectoryPart("a.txt"));

  struct {
    std::string text, trimmed;
  } trims[] = {
      {"C:\\web\\\\", "C:\\web\\"},  // one byte only
      {"C:\\web\\", "C:\\web"},
      {"C:", "C:"},
      {"C:\\web/", "C:\\web/"},
      {"", ""},
      {"\\", ""},
      {"C:\\" + kHyo, "C:\\" + kHyo},  // trail byte stays
      {"C:\\" + kHyo + "\\", "C:\\" + kHyo},
  };
  for (const auto& t : trims) EXPECT_EQ(t.trimmed, rules.TrimTrailingBackslash(t.text)) << t.text;
  EXPECT_EQ("C:\\\x95", WindowsSingleByte().TrimTrailingBackslash("C:\\" + kHyo));
}

// --- The Linux separators: '/' and '\' separate directories, ':' is a byte. ---

TEST(LinuxSeparatorsTest, SiteSelectionAndRelativeDirectory) {
  const std::vector<SiteCase> cases = {
      {"/srv/site/", "/srv/site/docs/a.html", true, "/docs"},
      {"/srv/site", "/srv/site/docs/a.html", true, "/docs"},
      {"/srv/site/", "/srv/site/a.html", true, ""},
      {"/srv/site", "/srv/sitex/a", true, "x"},
      {"/srv/site/", "/srv/sitex/a", false, ""},
      {"/srv/site/", "/srv/site/docs/deep/a.html", true, "/docs/deep"},
      {"/", "/a.html", true, ""},
      {"/", "/srv/a.html", true, "/srv"},
      {"/srv/site/docs/a", "/srv/site/docs/a.html", true, ""},
      {"/Srv", "/srv/a.html", false, ""},
      {"", "/srv/a.html", false, ""},
      // Files named as on Windows keep working.
      {"C:\\web\\", "C:\\web\\docs\\guide.html", true, "/docs"},
      {"C:\\web", "C:\\web\\sub\\deep\\a.txt", true, "/sub/deep"},
      // Mixed separators come out as '/'.
      {"/srv/site", "/srv/site/a\\b/c.txt", true, "/a/b"},
      // ':' is an ordinary byte.
      {"C:", "C:a.txt", true, ""},
      {"/srv", "/srv/a:b/c.txt", true, "/a:b"},
  };
  CheckSites(LinuxSingleByte(), cases);
  CheckSites(LinuxSjis(), cases);
}

TEST(LinuxSeparatorsTest, FileNameExtensionAndKey) {
  const std::vector<NameCase> cases = {
      {"/srv/site/docs/a.html", "a.html", ".html", "html"},
      {"C:\\web\\docs\\guide.html", "guide.html", ".html", "html"},
      {"/srv/archive.tar.gz", "archive.tar.gz", ".gz", "gz"},
      {"/opt/v1.2/README", "README", "", ""},
      {"/opt/v1.2\\README", "README", "", ""},
      {"/srv/.htaccess", ".htaccess", ".htaccess", "htaccess"},
      {"/srv/file.", "file.", ".", ""},
      {"/srv/", "", "", ""},
      {"C:a.txt", "C:a.txt", ".txt", "txt"},
      {"/srv/a.txt:s", "a.txt:s", ".txt:s", "txt:s"},
      {"INDEX.HTML", "INDEX.HTML", ".HTML", "HTML"},
  };
  CheckNames(LinuxSingleByte(), cases);
  CheckNames(LinuxSjis(), cases);
}

TEST(LinuxSeparatorsTest, ShiftJisTrailByteIsNoSeparator) {
  const std::string arg = "/srv/" + kHyo + "/index.html";
  CheckSites(LinuxSjis(), {{"/srv", arg, true, "/" + kHyo}, {"/srv/" + kHyo, arg, true, ""}});
  CheckSites(LinuxSingleByte(), {{"/srv", arg, true, "/\x95/"}});
  CheckNames(LinuxSjis(), {{"/srv/" + kHyo, kHyo, "", ""},
                           {"/srv/a." + kHyo, "a." + kHyo, "." + kHyo, kHyo}});
  CheckNames(LinuxSingleByte(), {{"/srv/" + kHyo, "", "", ""}});
}

TEST(LinuxSeparatorsTest, IniPathAndTrim) {
  PathRules rules = LinuxSingleByte();
  EXPECT_EQ("/opt/tools/varnolet.ini", rules.IniPathFor("/opt/tools/varnolet"));
  EXPECT_EQ("/opt/v1.2/varnolet.ini", rules.IniPathFor("/opt/v1.2/varnolet"));
  EXPECT_EQ("/opt/tools/varnolet.ini", rules.IniPathFor("/opt/tools/varnolet.bin"));
  EXPECT_EQ("varnolet.ini", rules.IniPathFor("varnolet"));

  EXPECT_EQ("/srv/site", rules.TrimTrailingBackslash("/srv/site/"));
  EXPECT_EQ("/srv/site/", rules.TrimTrailingBackslash("/srv/site//"));
  EXPECT_EQ("C:\\web", rules.TrimTrailingBackslash("C:\\web\\"));
  EXPECT_EQ("C:", rules.TrimTrailingBackslash("C:"));
  EXPECT_EQ("/srv/" + kHyo, LinuxSjis().TrimTrailingBackslash("/srv/" + kHyo));
}

// --- Text operations ---

TEST(ByteKindTest, Table) {
  const PathRules rules = WindowsSjis();
  using K = ByteKind;
  struct {
    std::string text;
    std::vector<K> kinds;
  } cases[] = {
      {"a\\", {K::kSingle, K::kSingle}},
      {kHyo, {K::kLead, K::kTrail}},
      {"\x95", {K::kLead}},                                    // a lone lead at the end
      {"\x95\x95", {K::kLead, K::kTrail}},                     // a lead-valued trail byte
      {"\x95\x95\x95", {K::kLead, K::kTrail, K::kLead}},
      {"\x95\x95\\", {K::kLead, K::kTrail, K::kSingle}},
      {"\x95\x95\x95\\", {K::kLead, K::kTrail, K::kLead, K::kTrail}},
      {"a\x95\\\\", {K::kSingle, K::kLead, K::kTrail, K::kSingle}},
      {"\xE0\x40\xFC\x5C\xA0\\", {K::kLead, K::kTrail, K::kLead, K::kTrail, K::kSingle, K::kSingle}},
  };
  for (const auto& c : cases) {
    for (size_t pos = 1; pos <= c.text.size(); ++pos) {
      EXPECT_EQ(c.kinds[pos - 1], rules.ByteKindAt(c.text, pos)) << "position " << pos;
      EXPECT_EQ(K::kSingle, WindowsSingleByte().ByteKindAt(c.text, pos));
    }
  }
}

TEST(TextOperationsTest, FindLastSeparator) {
  const PathRules rules = WindowsSjis();
  EXPECT_EQ(0u, rules.FindLastSeparator("", "\\:"));
  EXPECT_EQ(0u, rules.FindLastSeparator("abc", "\\:"));
  EXPECT_EQ(2u, rules.FindLastSeparator("C:abc", "\\:"));
  EXPECT_EQ(10u, rules.FindLastSeparator("C:\\web\\" + kHyo + "\\index.html", "\\:"));
  EXPECT_EQ(7u, rules.FindLastSeparator("C:\\web\\" + kHyo, "\\:"));
  EXPECT_EQ(0u, rules.FindLastSeparator(kHyo, "\\"));
  EXPECT_EQ(9u, WindowsSingleByte().FindLastSeparator("C:\\web\\" + kHyo, "\\:"));
}

TEST(TextOperationsTest, PlainAndAlignedSearch) {
  const PathRules rules = WindowsSjis();
  // FindBytes ignores byte kinds; FindAligned skips matches on a trail byte.
  EXPECT_EQ(2u, PathRules::FindBytes("\\", kHyo));
  EXPECT_EQ(0u, rules.FindAligned("\\", kHyo));
  EXPECT_EQ(3u, rules.FindAligned("\\", kHyo + "\\"));
  EXPECT_EQ(2u, WindowsSingleByte().FindAligned("\\", kHyo));
  EXPECT_EQ(1u, PathRules::FindBytes("ab", "abab"));
  EXPECT_EQ(3u, PathRules::FindBytes("ab", "xxab"));
  for (const auto& [pattern, text] : std::vector<std::pair<std::string, std::string>>{
           {"", "abc"}, {"a", ""}, {"abcd", "abc"}, {"x", "abc"}}) {
    EXPECT_EQ(0u, PathRules::FindBytes(pattern, text));
    EXPECT_EQ(0u, rules.FindAligned(pattern, text));
  }
  // A match that begins on a lead-valued trail byte is skipped too.
  EXPECT_EQ(4u, rules.FindAligned("\x95\x41", "\x95\x95\x41\x95\x41"));
  EXPECT_EQ(2u, PathRules::FindBytes("\x95\x41", "\x95\x95\x41\x95\x41"));
}

TEST(TextOperationsTest, ReplaceOccurrencesAndDropLeading) {
  const PathRules rules = WindowsSjis();
  EXPECT_EQ("", rules.ReplaceOccurrences("", "\\", "/", true));
  EXPECT_EQ("abc", rules.ReplaceOccurrences("abc", "\\", "/", true));
  EXPECT_EQ("ab.c", rules.ReplaceOccurrences("a.b.c", ".", "", false));
  EXPECT_EQ("abc", rules.ReplaceOccurrences("a.b.c", ".", "", true));
  EXPECT_EQ("/" + kHyo + "/", rules.ReplaceOccurrences("\\" + kHyo + "\\", "\\", "/", true));
  // The replacement is not searched again.
  EXPECT_EQ("\\\\\\\\", rules.ReplaceOccurrences("\\\\", "\\", "\\\\", true));
  EXPECT_EQ("xxb", rules.ReplaceOccurrences("aab", "a", "x", true));

  EXPECT_EQ("", PathRules::DropLeading("abc", 4));
  EXPECT_EQ("", PathRules::DropLeading("abc", 3));
  EXPECT_EQ("c", PathRules::DropLeading("abc", 2));
  EXPECT_EQ("abc", PathRules::DropLeading("abc", 0));
  EXPECT_EQ("abc", PathRules::DropLeading("abc", -5));
  EXPECT_EQ("", PathRules::DropLeading("", 1));
}

// The forward reading from the first byte, against which the backward
// classification and the aligned search must agree on every text.
std::vector<ByteKind> KindsFromStart(const LeadByteSet& lead, const std::string& text) {
  std::vector<ByteKind> kinds;
  for (size_t i = 0; i < text.size();) {
    if (lead.Contains(static_cast<uint8_t>(text[i]))) {
      kinds.push_back(ByteKind::kLead);
      if (i + 1 < text.size()) kinds.push_back(ByteKind::kTrail);
      i += 2;
    } else {
      kinds.push_back(ByteKind::kSingle);
      ++i;
    }
  }
  return kinds;
}

TEST(TextOperationsTest, BackwardClassificationAgreesWithForwardReading) {
  const PathRules rules = WindowsSjis();
  const char alphabet[] = {'\x95', '\x5C', '\xE0', 'a', ':', '.', '\x81'};
  std::mt19937 random(12345);
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    const size_t length = random() % 12;
    for (size_t i = 0; i < length; ++i) text.push_back(alphabet[random() % sizeof alphabet]);
    const std::vector<ByteKind> expected = KindsFromStart(rules.lead_bytes(), text);
    size_t first_aligned_backslash = 0;
    for (size_t pos = 1; pos <= text.size(); ++pos) {
      ASSERT_EQ(expected[pos - 1], rules.ByteKindAt(text, pos)) << "round " << round;
      if (first_aligned_backslash == 0 && text[pos - 1] == '\\' &&
          expected[pos - 1] != ByteKind::kTrail) {
        first_aligned_backslash = pos;
      }
    }
    ASSERT_EQ(first_aligned_backslash, rules.FindAligned("\\", text)) << "round " << round;
  }
}

TEST(ProcessPathRulesTest, LinuxSeparatorsAndChosenLeadBytes) {
  EXPECT_EQ(SeparatorSet::kLinux.directory, ProcessPathRules().separators().directory);
  EXPECT_TRUE(ProcessPathRules().lead_bytes().empty());

  SetProcessPathRules(LeadByteSet::ShiftJis());
  EXPECT_EQ("/" + kHyo, ProcessPathRules().RelativeDirFor("/srv/" + kHyo + "/a", "/srv"));
  EXPECT_EQ(SeparatorSet::kLinux.trailing, ProcessPathRules().separators().trailing);
  SetProcessPathRules(LeadByteSet());
  EXPECT_EQ("/\x95/", ProcessPathRules().RelativeDirFor("/srv/" + kHyo + "/a", "/srv"));
}

TEST(LeadByteSetTest, Ranges) {
  LeadByteSet set;
  EXPECT_TRUE(set.empty());
  set.AddRange(0x20, 0x10);  // reversed: nothing
  EXPECT_TRUE(set.empty());
  set.AddRange(0xF0, 0xFF);  // ends at the last value without wrapping
  EXPECT_TRUE(set.Contains(0xF0));
  EXPECT_TRUE(set.Contains(0xFF));
  EXPECT_FALSE(set.Contains(0xEF));
  EXPECT_FALSE(set.Contains(0x00));
}

}  // namespace
}  // namespace varnolet
