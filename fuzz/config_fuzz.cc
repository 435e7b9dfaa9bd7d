// Feeds arbitrary bytes to the configuration reader as a whole INI file and
// looks up what the program looks up. Nothing may crash, and every answer
// must keep the reader's limits.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string content(reinterpret_cast<const char*>(data), size);
  varnolet::IniReader ini = varnolet::IniReader::FromText(content);

  for (int site = 0; site < 4 && ini.SectionHasKeys(std::to_string(site)); ++site) {
    const std::string section = std::to_string(site);
    for (const char* key : {"LocalDir", "Host", "Password", "UserID", "HostDir"}) {
      const std::string value = ini.ReadText(section, key, "\"\"");
      if (value.size() > varnolet::kMaxValueBytes) std::abort();
      if (value.find('\0') != std::string::npos) std::abort();
    }
    (void)ini.ReadNumber(section, "Port", 21);
  }
  for (const char* key : {"", "html", "txt", "HTML"}) {
    (void)ini.ReadFlag("AsciiMode", key, false);
  }

  // The number grammar on its own: a parse that succeeds must parse its own
  // decimal rendering back to the same value.
  if (const auto number = varnolet::ParseNumber(content)) {
    const auto again = varnolet::ParseNumber(std::to_string(*number));
    if (!again || *again != *number) std::abort();
  }
  return 0;
}
