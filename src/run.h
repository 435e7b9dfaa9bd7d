// The run: walks the numbered sites of the configuration and hands every site
// that holds the first argument to the site upload sequence.
//
// Sites are the sections "0", "1", ... up to the first one that is missing or
// holds no key. A site is selected when its "LocalDir" is a prefix of argument
// 1; every selected site is handled, in ascending number.

#ifndef VARNOLET_RUN_H_
#define VARNOLET_RUN_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config.h"
#include "console.h"
#include "paths.h"

namespace varnolet {

// Exit statuses.
constexpr int kExitOk = 0;          // every selected site did all its work, or none was selected
constexpr int kExitFailure = 1;     // an error ended the run with the failure report
constexpr int kExitSiteFailed = 2;  // the scan ended, but a selected site failed

// What a selected site is handed.
struct SiteJob {
  IniReader& ini;
  std::string section;       // the site's section name: its number in decimal
  std::string relative_dir;  // argument 1's directory below the local root, '/' separated
  const std::vector<std::string>& arguments;  // the files, argument 1 first
  const PathRules& paths;
  Console& console;
};

// Handles one selected site; returns true when the site did all its work.
using SiteHandler = std::function<bool(const SiteJob&)>;

// Scans the sites of ini and calls handle_site for each selected one. Returns
// kExitOk or kExitSiteFailed; errors from handle_site (EInOutError,
// EOutOfMemory) pass through.
int ScanSites(IniReader& ini, const std::vector<std::string>& arguments, const PathRules& paths,
              Console& console, const SiteHandler& handle_site);

}  // namespace varnolet

#endif  // VARNOLET_RUN_H_
