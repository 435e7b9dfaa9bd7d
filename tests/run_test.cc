// The site scan, and the program run as a user runs it.

#include "run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace varnolet {
namespace {

class NullConsole : public Console {
 public:
  void WriteLine(std::string_view) override {}
};

struct Handed {
  std::string section;
  std::string relative_dir;
  bool operator==(const Handed&) const = default;
};

// Scans ini with argument list args; returns the sites handed over.
std::vector<Handed> Scan(const std::string& ini_text, const std::vector<std::string>& args,
                         int* exit_status = nullptr, bool site_result = true) {
  IniReader ini = IniReader::FromText(ini_text);
  NullConsole console;
  PathRules paths(LeadByteSet(), SeparatorSet::kLinux);
  std::vector<Handed> handed;
  const int status = ScanSites(ini, args, paths, console, [&](const SiteJob& job) {
    handed.push_back({job.section, job.relative_dir});
    return site_result;
  });
  if (exit_status) *exit_status = status;
  return handed;
}

TEST(ScanSites, SelectsByLocalRootInAscendingOrder) {
  struct Case {
    const char* name;
    std::string ini;
    std::vector<std::string> args;
    std::vector<Handed> expected;
  } cases[] = {
      {"two roots, both prefixes",
       "[0]\nLocalDir=/web\n[1]\nLocalDir=/web/docs/\n",
       {"/web/docs/x/a.html"},
       {{"0", "/docs/x"}, {"1", "/x"}}},
      {"a gap ends the scan", "[0]\nLocalDir=/w/\n[1]\nLocalDir=/w/\n[3]\nLocalDir=/w/\n",
       {"/w/a"}, {{"0", ""}, {"1", ""}}},
      {"section 0 without keys ends the scan at once", "[0]\n[1]\nLocalDir=/w/\n", {"/w/a"}, {}},
      {"a section of unknown keys keeps the numbering",
       "[0]\nNote=old\n[1]\nLocalDir=/w/\n",
       {"/w/d/a"},
       {{"1", "/d"}}},
      {"01 and +1 are no site numbers", "[0]\nLocalDir=/x/\n[01]\nLocalDir=/w/\n[+1]\nLocalDir=/w/\n",
       {"/w/a"}, {}},
      {"absent or empty LocalDir selects nothing", "[0]\nHost=h\n[1]\nLocalDir=\n[2]\nLocalDir=/w\n",
       {"/w/a"}, {{"2", ""}}},
      {"case matters", "[0]\nLocalDir=/Web/\n", {"/web/a"}, {}},
      {"relative argument", "[0]\nLocalDir=/web/\n", {"web/a"}, {}},
      {"root is a textual prefix", "[0]\nLocalDir=/web\n", {"/website/x.html"}, {{"0", "site"}}},
      {"repeated section is examined once", "[0]\nLocalDir=/w/\n[0]\nLocalDir=/w/\n", {"/w/a"},
       {{"0", ""}}},
      {"no argument selects nothing", "[0]\nLocalDir=/w/\n", {}, {}},
      {"only argument 1 decides", "[0]\nLocalDir=/w/\n", {"/other/a", "/w/b"}, {}},
      {"key names in any case", "[0]\nlocaldir=/w/\n", {"/w/d/a"}, {{"0", "/d"}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Scan(c.ini, c.args), c.expected) << c.name;
  }
}

TEST(ScanSites, ExitStatusReportsAFailedSiteAfterTheWholeScan) {
  int status = -1;
  const std::string ini = "[0]\nLocalDir=/w/\n[1]\nLocalDir=/w/\n";
  EXPECT_EQ(Scan(ini, {"/w/a"}, &status, false).size(), 2u);
  EXPECT_EQ(status, kExitSiteFailed);
  Scan(ini, {"/w/a"}, &status, true);
  EXPECT_EQ(status, kExitOk);
  Scan(ini, {"/elsewhere/a"}, &status, false);
  EXPECT_EQ(status, kExitOk);
}

// The program as a new user runs it.
using testing::InstallProgram;
using testing::ListDir;
using testing::RunProgram;
using testing::TempDir;

TEST(Program, WithoutArgumentsOrIniPrintsNothing) {
  TempDir dir;
  const std::string program = InstallProgram(dir);
  const auto result = RunProgram(program, {});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"varnolet"});
}

TEST(Program, SitesThatDoNotMatchPrintNothing) {
  TempDir dir;
  const std::string ini = "[0]\nLocalDir=/nowhere/\nHost=127.0.0.1\nUserID=u\nPassword=p\n";
  const std::string program = InstallProgram(dir, ini);
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{}, {"/tmp/a.html"}, {"\"\""}, {"", "\""}}) {
    const auto result = RunProgram(program, args);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.output, "");
  }
  EXPECT_EQ(ListDir(dir.path()), (std::vector<std::string>{"varnolet", "varnolet.ini"}));
}

TEST(Program, StdoutIsNotTouchedWhenNoLineIsWritten) {
  TempDir dir;
  const std::string program = InstallProgram(dir, "[0]\nLocalDir=/nowhere/\n");
  EXPECT_EQ(RunProgram(program, {"/tmp/a"}, testing::StdoutMode::kClosed).exit_status, 0);
  EXPECT_EQ(RunProgram(program, {"/tmp/a"}, testing::StdoutMode::kDevFull).exit_status, 0);
}

}  // namespace
}  // namespace varnolet
