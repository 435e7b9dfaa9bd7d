#include "locale.h"

#include <array>

namespace varnolet {

namespace {

// The codeset name in one spelling: ASCII letters upper-cased, '-' and '_'
// dropped, so that "Shift_JIS", "shift-jis" and "SHIFTJIS" compare equal.
std::string CanonicalCodeset(std::string_view codeset) {
  std::string canonical;
  canonical.reserve(codeset.size());
  for (char c : codeset) {
    if (c == '-' || c == '_') continue;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    canonical.push_back(c);
  }
  return canonical;
}

constexpr std::array<std::string_view, 5> kShiftJisNames = {
    "SHIFTJIS", "SJIS", "CP932", "WINDOWS31J", "MSKANJI"};
constexpr std::array<std::string_view, 9> kWideDoubleByteNames = {
    "GBK", "CP936", "GB18030", "BIG5", "BIG5HKSCS", "CP950", "EUCKR", "CP949", "UHC"};

template <size_t N>
bool IsOneOf(const std::string& name, const std::array<std::string_view, N>& names) {
  for (std::string_view candidate : names) {
    if (name == candidate) return true;
  }
  return false;
}

}  // namespace

LeadByteSet LeadBytesForCodeset(std::string_view codeset) {
  const std::string name = CanonicalCodeset(codeset);
  if (IsOneOf(name, kShiftJisNames)) return LeadByteSet::ShiftJis();
  if (IsOneOf(name, kWideDoubleByteNames)) return LeadByteSet::WideDoubleByte();
  // UTF-8 and EUC-JP never put a separator-valued byte inside a character, and
  // single-byte codesets have no two-byte characters at all.
  return LeadByteSet();
}

void DetectLeadBytes() { SetProcessPathRules(LeadBytesForCodeset(CurrentCodeset())); }

}  // namespace varnolet
