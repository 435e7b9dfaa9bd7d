// The path rules over arbitrary bytes with every lead-byte set, checked
// against properties that any correct implementation has.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "paths.h"

namespace {

using varnolet::ByteKind;
using varnolet::LeadByteSet;
using varnolet::PathRules;
using varnolet::SeparatorSet;

void Check(bool condition) {
  if (!condition) std::abort();
}

// The byte kinds of text read forwards from its first byte.
std::string ForwardKinds(const PathRules& rules, std::string_view text) {
  std::string kinds(text.size(), 's');
  for (size_t i = 0; i < text.size(); ++i) {
    if (rules.lead_bytes().Contains(static_cast<uint8_t>(text[i]))) {
      kinds[i] = 'l';
      if (i + 1 < text.size()) kinds[++i] = 't';
    }
  }
  return kinds;
}

void CheckRules(const PathRules& rules, std::string_view a, std::string_view b) {
  // ByteKindAt agrees with a forward scan.
  const std::string kinds = ForwardKinds(rules, a);
  for (size_t pos = 1; pos <= a.size(); ++pos) {
    const ByteKind kind = rules.ByteKindAt(a, pos);
    const char expected = kinds[pos - 1];
    Check((kind == ByteKind::kSingle && expected == 's') ||
          (kind == ByteKind::kLead && expected == 'l') ||
          (kind == ByteKind::kTrail && expected == 't'));
  }

  // DirectoryPart + FileNamePart give back the path.
  Check(rules.DirectoryPart(a) + rules.FileNamePart(a) == a);

  // ReplaceOccurrences with an absent pattern is the identity; the every form
  // with pattern == replacement too.
  if (!b.empty() && a.find(b) == std::string_view::npos) {
    Check(rules.ReplaceOccurrences(a, b, "x", true) == a);
  }
  if (!b.empty()) Check(rules.ReplaceOccurrences(a, b, b, true) == a);

  // RelativeDirFor never rewrites a trail byte: it only turns aligned '\'
  // into '/', so it keeps the length and every byte that is not such a '\'.
  if (PathRules::MatchesLocalRoot(b, a)) {
    const std::string dir = rules.TrimTrailingBackslash(rules.DirectoryPart(a));
    const std::string rest = PathRules::DropLeading(
        dir, static_cast<int64_t>(rules.TrimTrailingBackslash(b).size()));
    const std::string relative = rules.RelativeDirFor(a, b);
    Check(relative.size() == rest.size());
    const std::string rest_kinds = ForwardKinds(rules, rest);
    for (size_t i = 0; i < rest.size(); ++i) {
      if (relative[i] == rest[i]) continue;
      Check(rest[i] == '\\' && relative[i] == '/' && rest_kinds[i] != 't');
    }
  }

  // The file name never holds a directory separator that is not a trail byte.
  const std::string name = rules.FileNamePart(a);
  Check(rules.FindLastSeparator(name, rules.separators().directory) == 0);
  (void)rules.AsciiModeKey(a);
  (void)rules.IniPathFor(a);
  Check(PathRules::FindBytes(b, a) == 0 || a.substr(PathRules::FindBytes(b, a) - 1, b.size()) == b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The input is two texts, split at the first 0 byte (texts hold no 0 byte).
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t cut = input.find('\0');
  const std::string_view a = input.substr(0, cut);
  const std::string_view b =
      cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);
  if (b.find('\0') != std::string_view::npos) return 0;

  static const LeadByteSet kSets[] = {LeadByteSet(), LeadByteSet::ShiftJis(),
                                      LeadByteSet::WideDoubleByte()};
  for (const LeadByteSet& set : kSets) {
    for (const SeparatorSet* separators : {&SeparatorSet::kLinux, &SeparatorSet::kWindows}) {
      CheckRules(PathRules(set, *separators), a, b);
    }
  }
  return 0;
}
