#include <langinfo.h>

#include <clocale>

#include "locale.h"

namespace varnolet {

std::string CurrentCodeset() {
  // When the environment names a locale that is not installed, setlocale fails
  // and LC_CTYPE stays as it was: at start-up the "C" locale, whose codeset has
  // no lead bytes.
  std::setlocale(LC_CTYPE, "");
  const char* codeset = nl_langinfo(CODESET);
  return codeset != nullptr ? std::string(codeset) : std::string();
}

}  // namespace varnolet
