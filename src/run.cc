#include "run.h"

#include <string>

namespace varnolet {

namespace {

// The default of "LocalDir": two double quotes, which begin no argument since
// no argument keeps a double quote.
constexpr std::string_view kAbsentLocalDir = "\"\"";

}  // namespace

int ScanSites(IniReader& ini, const std::vector<std::string>& arguments, const PathRules& paths,
              Console& console, const SiteHandler& handle_site) {
  static const std::string kNoArgument;
  const std::string& first = arguments.empty() ? kNoArgument : arguments.front();

  bool every_site_succeeded = true;
  // Site numbers are a signed 32-bit counter; the scan ends at the first
  // missing or empty section, so a gap hides every site after it.
  for (int32_t site = 0;; ++site) {
    const std::string section = std::to_string(site);
    if (!ini.SectionHasKeys(section)) break;

    const std::string local_root = ini.ReadText(section, "LocalDir", kAbsentLocalDir);
    if (PathRules::MatchesLocalRoot(local_root, first)) {
      const SiteJob job{ini,       section, paths.RelativeDirFor(first, local_root),
                        arguments, paths,   console};
      if (!handle_site(job)) every_site_succeeded = false;
    }
    if (site == INT32_MAX) break;
  }
  return every_site_succeeded ? kExitOk : kExitSiteFailed;
}

}  // namespace varnolet
