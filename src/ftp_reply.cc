#include "ftp_reply.h"

#include <cstring>

namespace varnolet {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The code of a reply's first line, or 0 when the line does not begin with
// three digits, the first of them 1..5.
int LeadingCode(std::string_view line) {
  if (line.size() < 3 || line[0] < '1' || line[0] > '5' || !IsDigit(line[1]) ||
      !IsDigit(line[2])) {
    return 0;
  }
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

// Reads a decimal number of 1..max_digits digits at text[*pos]; advances *pos.
bool ReadNumber(std::string_view text, size_t* pos, size_t max_digits, uint32_t* value) {
  size_t i = *pos;
  uint32_t v = 0;
  while (i < text.size() && IsDigit(text[i]) && i - *pos < max_digits) {
    v = v * 10 + static_cast<uint32_t>(text[i] - '0');
    ++i;
  }
  if (i == *pos || (i < text.size() && IsDigit(text[i]))) return false;
  *pos = i;
  *value = v;
  return true;
}

}  // namespace

void FtpReplyParser::Feed(std::string_view bytes) {
  while (!failed_ && !bytes.empty()) {
    const void* lf = std::memchr(bytes.data(), '\n', bytes.size());
    const size_t take = lf ? static_cast<const char*>(lf) - bytes.data() : bytes.size();
    // The line end counts towards the bound too.
    if (current_bytes_ + line_.size() + take + (lf ? 1 : 0) > kMaxReplyBytes) {
      // Everything of the reply is dropped: nothing is held any more.
      failed_ = true;
      line_.clear();
      line_.shrink_to_fit();
      current_ = FtpReply();
      current_bytes_ = 0;
      in_reply_ = false;
      return;
    }
    line_.append(bytes.data(), take);
    if (!lf) return;
    bytes.remove_prefix(take + 1);
    current_bytes_ += line_.size() + 1;
    EndLine();
  }
}

void FtpReplyParser::EndLine() {
  std::string_view line = line_;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

  if (!in_reply_) {
    const int code = LeadingCode(line);
    if (code == 0 || (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
      failed_ = true;
      line_.clear();
      return;
    }
    FtpReply reply;
    reply.code = code;
    if (line.size() > 4) reply.text.assign(line.substr(4));
    if (line.size() > 3 && line[3] == '-') {
      current_ = std::move(reply);
      in_reply_ = true;
    } else {
      ready_.push_back(std::move(reply));
      current_bytes_ = 0;
    }
    line_.clear();
    return;
  }

  // Inside a multi-line reply: only "ddd " with the opening code ends it
  // ("ddd" alone is taken as an end with an empty last line).
  const bool ends = LeadingCode(line) == current_.code && (line.size() == 3 || line[3] == ' ');
  current_.text.push_back('\n');
  current_.text.append(ends ? line.substr(line.size() > 3 ? 4 : 3) : line);
  line_.clear();
  if (ends) {
    ready_.push_back(std::move(current_));
    current_ = FtpReply();
    current_bytes_ = 0;
    in_reply_ = false;
  }
}

bool FtpReplyParser::Next(FtpReply* reply) {
  if (ready_.empty()) return false;
  *reply = std::move(ready_.front());
  ready_.pop_front();
  return true;
}

bool ParsePwdReply(std::string_view text, std::string* directory) {
  const size_t line_end = text.find('\n');
  if (line_end != std::string_view::npos) text = text.substr(0, line_end);
  const size_t open = text.find('"');
  if (open == std::string_view::npos) return false;
  std::string name;
  for (size_t i = open + 1; i < text.size(); ++i) {
    if (text[i] != '"') {
      name.push_back(text[i]);
    } else if (i + 1 < text.size() && text[i + 1] == '"') {
      name.push_back('"');
      ++i;
    } else {
      *directory = std::move(name);
      return true;
    }
  }
  return false;
}

bool ParsePasvReply(std::string_view text, PassiveAddress* address) {
  for (size_t start = 0; start < text.size(); ++start) {
    if (!IsDigit(text[start]) || (start > 0 && IsDigit(text[start - 1]))) continue;
    size_t pos = start;
    uint32_t numbers[6];
    bool ok = true;
    for (int i = 0; i < 6 && ok; ++i) {
      if (i > 0) {
        if (pos >= text.size() || text[pos] != ',') {
          ok = false;
          break;
        }
        ++pos;
      }
      ok = ReadNumber(text, &pos, 3, &numbers[i]) && numbers[i] <= 255;
    }
    if (!ok) continue;
    const uint16_t port = static_cast<uint16_t>(numbers[4] << 8 | numbers[5]);
    if (port == 0) return false;
    for (int i = 0; i < 4; ++i) address->host[i] = static_cast<uint8_t>(numbers[i]);
    address->port = port;
    return true;
  }
  return false;
}

bool ParseEpsvReply(std::string_view text, uint16_t* port) {
  const size_t open = text.find('(');
  if (open == std::string_view::npos || open + 4 >= text.size()) return false;
  const char d = text[open + 1];
  if (d < 33 || d > 126 || IsDigit(d) || text[open + 2] != d || text[open + 3] != d) {
    return false;
  }
  size_t pos = open + 4;
  uint32_t value = 0;
  if (!ReadNumber(text, &pos, 5, &value) || value == 0 || value > 65535) return false;
  if (pos + 1 >= text.size() || text[pos] != d || text[pos + 1] != ')') return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace varnolet
