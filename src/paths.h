// Text operations and path rules.
//
// Every path the run handles is a byte string in the locale's multibyte
// encoding. In Shift_JIS (and the other double-byte encodings) the second byte
// of a character may have the value of a backslash (0x5C), so every operation
// that looks for a separator classifies bytes as single, lead or trail and never
// takes a trail byte for a separator. Two operations are plain byte operations:
// the prefix test that selects a site (FindBytes / MatchesLocalRoot) and the
// cutting of the local root from the front of a directory (DropLeading).
//
// Positions and counts are in bytes and start at 1; 0 means "not found".
// No operation touches the file system or folds letter case, and none fails:
// every input, including the empty text and texts that are not valid in the
// encoding, has a defined result.
//
// The rules are written once and take the separator set as a parameter, so the
// same code serves Linux paths ('/' and '\' separate directories) and Windows
// paths ('\' and ':'), which are kept for files written on Windows.
//
// Threading: a PathRules object is immutable after construction. The process
// keeps one (ProcessPathRules), fixed at start-up before the first path is cut.

#ifndef VARNOLET_PATHS_H_
#define VARNOLET_PATHS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace varnolet {

// The byte values that begin a two-byte character in the run's encoding.
// Empty for single-byte encodings and UTF-8, where every byte is handled alone.
class LeadByteSet {
 public:
  LeadByteSet() { flags_.fill(false); }

  // Adds every value from first to last, both included; nothing when last < first.
  void AddRange(uint8_t first, uint8_t last);

  bool Contains(uint8_t byte) const { return flags_[byte]; }
  bool empty() const;

  // 0x81-0x9F and 0xE0-0xFC: Shift_JIS / code page 932.
  static LeadByteSet ShiftJis();
  // 0x81-0xFE: GBK, Big5 and Unified Hangul.
  static LeadByteSet WideDoubleByte();

 private:
  std::array<bool, 256> flags_;
};

enum class ByteKind { kSingle, kLead, kTrail };

// Which bytes separate what. Each member lists the byte values of one set.
struct SeparatorSet {
  std::string_view directory;   // end a directory name
  std::string_view extension;   // '.' plus the directory separators
  std::string_view trailing;    // one of these at the end is trimmed
  char rewritten_to_slash;      // turned into '/' in a relative directory

  static const SeparatorSet kLinux;    // '/' and '\'
  static const SeparatorSet kWindows;  // '\' and ':'
};

class PathRules {
 public:
  PathRules(const LeadByteSet& lead_bytes, const SeparatorSet& separators)
      : lead_(lead_bytes), sep_(separators) {}

  const LeadByteSet& lead_bytes() const { return lead_; }
  const SeparatorSet& separators() const { return sep_; }

  // --- Text operations ---

  // The kind of the byte at position pos (1 <= pos <= text.size()), judged by
  // scanning backwards over the run of lead-valued bytes before it.
  ByteKind ByteKindAt(std::string_view text, size_t pos) const;

  // Position of the last byte of text that is in set and is not a trail byte;
  // 0 if there is none.
  size_t FindLastSeparator(std::string_view text, std::string_view set) const;

  // The bytes up to and including the last directory separator; empty if none.
  std::string DirectoryPart(std::string_view path) const;
  // The bytes after the last directory separator; the whole path if none.
  std::string FileNamePart(std::string_view path) const;
  // From the last '.' to the end, dot included, when no directory separator
  // follows that dot; else empty.
  std::string ExtensionPart(std::string_view path) const;
  // The path without its extension, followed by new_extension (appended when
  // the path has no extension).
  std::string ReplaceExtension(std::string_view path, std::string_view new_extension) const;
  // The text without its last byte when that byte is a single-byte trailing
  // separator; else the text unchanged. At most one byte goes.
  std::string TrimTrailingBackslash(std::string_view text) const;

  // Position of the first byte-exact occurrence of pattern in text, blind to
  // byte kinds; 0 when either is empty or there is none.
  static size_t FindBytes(std::string_view pattern, std::string_view text);
  // The text without its first count bytes; unchanged for count <= 0, empty
  // when count reaches the text's length.
  static std::string DropLeading(std::string_view text, int64_t count);
  // Position of the first occurrence that does not begin on a trail byte; 0 if none.
  size_t FindAligned(std::string_view pattern, std::string_view text) const;
  // The text with the aligned occurrences of pattern replaced, every one or
  // only the first. The replacement is never searched again.
  std::string ReplaceOccurrences(std::string_view text, std::string_view pattern,
                                 std::string_view replacement, bool every) const;

  // --- Rules the run composes from them ---

  // The configuration file's path: the executable's path with ".ini" as extension.
  std::string IniPathFor(std::string_view executable_path) const;
  // True when local_root is not empty and argument begins with its bytes.
  static bool MatchesLocalRoot(std::string_view local_root, std::string_view argument);
  // The directory of argument below local_root, '/' as separator. Empty when
  // the argument lies directly in the root; begins with '/' when the root ends
  // at a directory boundary and the argument lies deeper.
  // REQUIRES: MatchesLocalRoot(local_root, argument).
  std::string RelativeDirFor(std::string_view argument, std::string_view local_root) const;
  // The name under which an argument is stored: its file-name part.
  std::string RemoteFileName(std::string_view argument) const;
  // The key looked up in [AsciiMode]: the extension without its dot, in the
  // argument's own letter case; empty when there is no extension.
  std::string AsciiModeKey(std::string_view argument) const;

 private:
  LeadByteSet lead_;
  SeparatorSet sep_;
};

// The process's path rules: the Linux separators and the locale's lead bytes.
// SetProcessPathRules is called once at start-up, before any path is cut.
const PathRules& ProcessPathRules();
void SetProcessPathRules(const LeadByteSet& lead_bytes);

}  // namespace varnolet

#endif  // VARNOLET_PATHS_H_
