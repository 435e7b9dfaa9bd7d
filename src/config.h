// The configuration reader: an INI file read with the conventions of Windows
// profile files.
//
// The program only reads the file; it never creates or writes it. Opening a
// reader touches no file. The first lookup reads the whole file once and
// indexes it, so a file of many sites is scanned in time linear in its size.
// No lookup fails: a missing, unreadable or empty file has no sections, and
// every lookup gives the caller's default when its key is absent or unusable.
//
// Syntax accepted (anything else is ignored, never an error):
//   - Line ends LF, CRLF or CR; a UTF-8 byte-order mark at the start is skipped.
//   - "[name]" starts a section; blanks (space, tab) around the name are trimmed.
//   - Lines whose first non-blank byte is ';' are comments.
//   - "key=value": blanks around key and value are trimmed; a value wrapped in
//     a matching pair of '"' or '\'' loses that pair; a value is cut at its
//     first NUL byte and then at 2047 bytes. "=1" is a key with the empty name.
//     A line without '=' is no key.
//   - Section and key names match without regard to ASCII letter case.
//   - A repeated section: only its first occurrence is read. A repeated key
//     within it: the first one answers.
//
// Threading: one thread opens, uses and releases a reader.

#ifndef VARNOLET_CONFIG_H_
#define VARNOLET_CONFIG_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace varnolet {

// The longest value a lookup gives; longer values are cut to this many bytes.
constexpr size_t kMaxValueBytes = 2047;

// Reads text as an integer by the configuration's number grammar: leading
// spaces; then an optional sign and decimal digits within the signed 32-bit
// range, or one of the markers "$", "x", "X", "0x", "0X" and hexadecimal digits
// within 32 bits (the bit pattern is taken as signed); nothing after the last
// digit. Any other text gives std::nullopt.
std::optional<int32_t> ParseNumber(std::string_view text);

class IniReader {
 public:
  // A reader on the file at path. Reads nothing yet.
  explicit IniReader(std::string path);
  // A reader whose file content is given (for tests and fuzzing).
  static IniReader FromText(std::string content);

  IniReader(IniReader&&) = default;
  IniReader& operator=(IniReader&&) = default;

  // True when the file has a section named section that holds at least one key.
  bool SectionHasKeys(std::string_view section);
  // The key's value, cut to kMaxValueBytes; default_value when absent.
  std::string ReadText(std::string_view section, std::string_view key,
                       std::string_view default_value);
  // The key's value as a number (ParseNumber); default_value when the key is
  // absent or its value is no valid number.
  int32_t ReadNumber(std::string_view section, std::string_view key, int32_t default_value);
  // ReadNumber with the default 1 or 0; true when the number is not 0.
  bool ReadFlag(std::string_view section, std::string_view key, bool default_value);

 private:
  struct Section {
    // Lower-cased key name -> value, first occurrence only.
    std::unordered_map<std::string, std::string> values;
  };

  const std::string* FindValue(std::string_view section, std::string_view key);
  void LoadOnce();
  void Parse(std::string_view content);

  std::string path_;
  bool loaded_ = false;
  std::optional<std::string> given_content_;
  // Lower-cased section name -> first section of that name.
  std::unordered_map<std::string, Section> sections_;
};

}  // namespace varnolet

#endif  // VARNOLET_CONFIG_H_
