// The locale's multibyte encoding and the lead bytes it implies.
//
// The lead-byte set is read once at start-up from the codeset of LC_CTYPE.
// The mapping from a codeset name to a set is a pure function, so it is tested
// without installing any locale; only CurrentCodeset touches the platform.

#ifndef VARNOLET_LOCALE_H_
#define VARNOLET_LOCALE_H_

#include <string>
#include <string_view>

#include "paths.h"

namespace varnolet {

// The lead bytes of a codeset, named as nl_langinfo(CODESET) names it (letter
// case and the separators '-' and '_' do not matter):
//   SHIFT_JIS, SJIS, CP932, WINDOWS-31J, MS_KANJI   -> 0x81-0x9F, 0xE0-0xFC
//   GBK, CP936, GB18030, BIG5, BIG5-HKSCS, CP950,
//   EUC-KR, CP949, UHC                              -> 0x81-0xFE
//   anything else (UTF-8, ASCII, ISO-8859-x, EUC-JP) -> empty
LeadByteSet LeadBytesForCodeset(std::string_view codeset);

// The codeset of the user's LC_CTYPE locale (setlocale(LC_CTYPE, "") then
// nl_langinfo(CODESET)). Implemented by the platform layer.
std::string CurrentCodeset();

// Fixes the process's lead-byte set from the current locale. Called once at
// start-up, before the first path operation.
void DetectLeadBytes();

}  // namespace varnolet

#endif  // VARNOLET_LOCALE_H_
