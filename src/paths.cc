#include "paths.h"

namespace varnolet {

// --- LeadByteSet ---

void LeadByteSet::AddRange(uint8_t first, uint8_t last) {
  // An int counter, so that a range ending at 0xFF terminates.
  for (int value = first; value <= last; ++value) flags_[value] = true;
}

bool LeadByteSet::empty() const {
  for (bool flag : flags_) {
    if (flag) return false;
  }
  return true;
}

LeadByteSet LeadByteSet::ShiftJis() {
  LeadByteSet set;
  set.AddRange(0x81, 0x9F);
  set.AddRange(0xE0, 0xFC);
  return set;
}

LeadByteSet LeadByteSet::WideDoubleByte() {
  LeadByteSet set;
  set.AddRange(0x81, 0xFE);
  return set;
}

// --- SeparatorSet ---

// Both sets are aggregates of literals, so they are initialised before any
// dynamic initialisation runs and may be used from it.
const SeparatorSet SeparatorSet::kLinux = {"/\\", "./\\", "/\\", '\\'};
const SeparatorSet SeparatorSet::kWindows = {"\\:", ".\\:", "\\", '\\'};

namespace {

bool InSet(char byte, std::string_view set) {
  return set.find(byte) != std::string_view::npos;
}

uint8_t ByteAt(std::string_view text, size_t pos) {  // pos is 1-based
  return static_cast<uint8_t>(text[pos - 1]);
}

}  // namespace

// --- Text operations ---

ByteKind PathRules::ByteKindAt(std::string_view text, size_t pos) const {
  if (pos < 1 || pos > text.size() || lead_.empty()) return ByteKind::kSingle;
  // Only the run of lead-valued bytes directly before pos matters: the byte in
  // front of that run, whatever its role, ends a character, so the run starts
  // at a character boundary and its bytes pair up from there.
  size_t run = 0;
  for (size_t p = pos - 1; p >= 1 && lead_.Contains(ByteAt(text, p)); --p) ++run;
  if (run % 2 == 1) return ByteKind::kTrail;
  return lead_.Contains(ByteAt(text, pos)) ? ByteKind::kLead : ByteKind::kSingle;
}

size_t PathRules::FindLastSeparator(std::string_view text, std::string_view set) const {
  size_t p = text.size();
  while (p > 0) {
    if (InSet(text[p - 1], set)) {
      if (ByteKindAt(text, p) != ByteKind::kTrail) return p;
      // A trail byte that looks like a separator: skip it with its lead byte.
      p = p >= 2 ? p - 2 : 0;
    } else {
      --p;
    }
  }
  return 0;
}

std::string PathRules::DirectoryPart(std::string_view path) const {
  size_t q = FindLastSeparator(path, sep_.directory);
  return std::string(path.substr(0, q));
}

std::string PathRules::FileNamePart(std::string_view path) const {
  size_t q = FindLastSeparator(path, sep_.directory);
  return std::string(path.substr(q));
}

std::string PathRules::ExtensionPart(std::string_view path) const {
  size_t r = FindLastSeparator(path, sep_.extension);
  if (r > 0 && path[r - 1] == '.') return std::string(path.substr(r - 1));
  return std::string();
}

std::string PathRules::ReplaceExtension(std::string_view path,
                                        std::string_view new_extension) const {
  size_t r = FindLastSeparator(path, sep_.extension);
  std::string result(r > 0 && path[r - 1] == '.' ? path.substr(0, r - 1) : path);
  result.append(new_extension);
  return result;
}

std::string PathRules::TrimTrailingBackslash(std::string_view text) const {
  if (!text.empty() && InSet(text.back(), sep_.trailing) &&
      ByteKindAt(text, text.size()) == ByteKind::kSingle) {
    text.remove_suffix(1);
  }
  return std::string(text);
}

size_t PathRules::FindBytes(std::string_view pattern, std::string_view text) {
  if (pattern.empty() || text.empty()) return 0;
  size_t at = text.find(pattern);
  return at == std::string_view::npos ? 0 : at + 1;
}

std::string PathRules::DropLeading(std::string_view text, int64_t count) {
  if (count <= 0) return std::string(text);
  if (static_cast<uint64_t>(count) >= text.size()) return std::string();
  return std::string(text.substr(static_cast<size_t>(count)));
}

size_t PathRules::FindAligned(std::string_view pattern, std::string_view text) const {
  if (pattern.empty() || text.empty()) return 0;
  // One forward walk over the character starts, which classifies every byte
  // as ByteKindAt does without rescanning runs of lead bytes.
  size_t i = 0;
  while (i < text.size()) {
    if (text.compare(i, pattern.size(), pattern) == 0) return i + 1;
    i += lead_.Contains(static_cast<uint8_t>(text[i])) ? 2 : 1;
  }
  return 0;
}

std::string PathRules::ReplaceOccurrences(std::string_view text, std::string_view pattern,
                                          std::string_view replacement, bool every) const {
  std::string result;
  std::string_view rest = text;
  while (!rest.empty()) {
    size_t p = FindAligned(pattern, rest);
    if (p == 0) break;
    result.append(rest.substr(0, p - 1));
    result.append(replacement);
    rest.remove_prefix(p - 1 + pattern.size());
    if (!every) break;
  }
  result.append(rest);
  return result;
}

// --- Composed rules ---

std::string PathRules::IniPathFor(std::string_view executable_path) const {
  return ReplaceExtension(executable_path, ".ini");
}

bool PathRules::MatchesLocalRoot(std::string_view local_root, std::string_view argument) {
  // FindBytes(local_root, argument) == 1, without searching the whole argument.
  return !local_root.empty() && argument.starts_with(local_root);
}

std::string PathRules::RelativeDirFor(std::string_view argument,
                                      std::string_view local_root) const {
  std::string dir = TrimTrailingBackslash(DirectoryPart(argument));
  size_t root_length = TrimTrailingBackslash(local_root).size();
  dir = DropLeading(dir, static_cast<int64_t>(root_length));
  return ReplaceOccurrences(dir, std::string_view(&sep_.rewritten_to_slash, 1), "/",
                            /*every=*/true);
}

std::string PathRules::RemoteFileName(std::string_view argument) const {
  return FileNamePart(argument);
}

std::string PathRules::AsciiModeKey(std::string_view argument) const {
  return ReplaceOccurrences(ExtensionPart(argument), ".", "", /*every=*/false);
}

// --- The process's rules ---

namespace {

PathRules& MutableProcessPathRules() {
  static PathRules rules(LeadByteSet(), SeparatorSet::kLinux);
  return rules;
}

}  // namespace

const PathRules& ProcessPathRules() { return MutableProcessPathRules(); }

void SetProcessPathRules(const LeadByteSet& lead_bytes) {
  MutableProcessPathRules() = PathRules(lead_bytes, SeparatorSet::kLinux);
}

}  // namespace varnolet
