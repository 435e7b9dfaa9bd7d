#include "config.h"

#include <utility>

#include "file.h"

namespace varnolet {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Names are stored and looked up in this form; only ASCII letters fold, so a
// name in a double-byte encoding is never altered.
std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// The value as lookups deliver it: without a pair of enclosing quotes, up to
// its first NUL byte, and at most kMaxValueBytes long.
std::string_view CookValue(std::string_view raw) {
  std::string_view value = TrimBlanks(raw);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  size_t nul = value.find('\0');
  if (nul != std::string_view::npos) value = value.substr(0, nul);
  if (value.size() > kMaxValueBytes) value = value.substr(0, kMaxValueBytes);
  return value;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<int32_t> ParseNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  std::string_view rest = text.substr(i);
  if (rest.empty()) return std::nullopt;

  // Hexadecimal: a marker, then digits whose value fits in 32 bits. The bit
  // pattern is read as signed, so "$FFFFFFFF" is -1.
  size_t marker = 0;
  if (rest.front() == '$' || rest.front() == 'x' || rest.front() == 'X') {
    marker = 1;
  } else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
    marker = 2;
  }
  if (marker > 0) {
    std::string_view digits = rest.substr(marker);
    if (digits.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : digits) {
      int digit = HexDigitValue(c);
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<uint64_t>(digit);
      if (value > 0xFFFFFFFFu) return std::nullopt;  // leading zeros never get here
    }
    return static_cast<int32_t>(static_cast<uint32_t>(value));
  }

  // Decimal: an optional sign, then digits within the signed 32-bit range.
  bool negative = false;
  if (rest.front() == '-' || rest.front() == '+') {
    negative = rest.front() == '-';
    rest.remove_prefix(1);
  }
  if (rest.empty()) return std::nullopt;
  const int64_t limit = negative ? int64_t{2147483648} : int64_t{2147483647};
  int64_t magnitude = 0;
  for (char c : rest) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit) return std::nullopt;
  }
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

IniReader::IniReader(std::string path) : path_(std::move(path)) {}

IniReader IniReader::FromText(std::string content) {
  IniReader reader{std::string()};
  reader.given_content_ = std::move(content);
  return reader;
}

bool IniReader::SectionHasKeys(std::string_view section) {
  LoadOnce();
  auto it = sections_.find(LowerAscii(section));
  return it != sections_.end() && !it->second.values.empty();
}

std::string IniReader::ReadText(std::string_view section, std::string_view key,
                                std::string_view default_value) {
  const std::string* value = FindValue(section, key);
  return value != nullptr ? *value : std::string(default_value);
}

int32_t IniReader::ReadNumber(std::string_view section, std::string_view key,
                              int32_t default_value) {
  const std::string* value = FindValue(section, key);
  if (value == nullptr) return default_value;
  return ParseNumber(*value).value_or(default_value);
}

bool IniReader::ReadFlag(std::string_view section, std::string_view key, bool default_value) {
  return ReadNumber(section, key, default_value ? 1 : 0) != 0;
}

const std::string* IniReader::FindValue(std::string_view section, std::string_view key) {
  LoadOnce();
  auto section_it = sections_.find(LowerAscii(section));
  if (section_it == sections_.end()) return nullptr;
  const auto& values = section_it->second.values;
  auto key_it = values.find(LowerAscii(key));
  return key_it != values.end() ? &key_it->second : nullptr;
}

void IniReader::LoadOnce() {
  if (loaded_) return;
  loaded_ = true;
  if (given_content_.has_value()) {
    std::string content = std::move(*given_content_);
    given_content_.reset();
    Parse(content);
    return;
  }
  std::string content;
  if (ReadWholeFile(path_, &content)) Parse(content);
  // A file that cannot be read has no sections.
}

void IniReader::Parse(std::string_view content) {
  static constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
  if (content.starts_with(kUtf8Bom)) content.remove_prefix(kUtf8Bom.size());

  // The section that key lines go to; null before the first header and under
  // a repeated header, whose lines are not read.
  Section* current = nullptr;
  size_t pos = 0;
  while (pos < content.size()) {
    // One line, ended by LF, CR or CRLF, or by the end of the content.
    size_t end = content.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = content.size();
    std::string_view line = TrimBlanks(content.substr(pos, end - pos));
    pos = end;
    if (pos < content.size()) {
      pos += (content[pos] == '\r' && pos + 1 < content.size() && content[pos + 1] == '\n') ? 2 : 1;
    }

    if (line.empty() || line.front() == ';') continue;

    if (line.front() == '[') {
      // "[name]": the name runs to the last ']'; text after it is ignored.
      // A line with '[' and no ']' is neither a header nor a key.
      size_t close = line.rfind(']');
      if (close == std::string_view::npos) continue;
      auto [it, inserted] =
          sections_.try_emplace(LowerAscii(TrimBlanks(line.substr(1, close - 1))));
      current = inserted ? &it->second : nullptr;
      continue;
    }

    size_t equals = line.find('=');
    if (equals == std::string_view::npos || current == nullptr) continue;
    std::string name = LowerAscii(TrimBlanks(line.substr(0, equals)));
    if (current->values.count(name) != 0) continue;  // the first of a repeated key answers
    current->values.emplace(std::move(name), std::string(CookValue(line.substr(equals + 1))));
  }
}

}  // namespace varnolet
