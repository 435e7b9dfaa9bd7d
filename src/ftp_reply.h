// FTP replies: a push parser for the control connection and the parsers of
// the few reply texts the client reads (257, 227, 229).
//
// The parser owns no socket: bytes are fed in as they arrive and complete
// replies come out, so it is tested on input cut at every byte. A reply is one
// line "ddd text" or several lines from "ddd-text" up to the first line that
// begins with the same three digits and a space. Lines end with CR LF; a bare
// LF is accepted as well. One reply may hold at most kMaxReplyBytes bytes
// (line ends included): a longer one, or a first line that is no reply line,
// puts the parser into the failed state, from which it never leaves. A
// hostile server can therefore make the parser hold at most one reply bound
// plus one fed chunk.
//
// Everything here is a pure function of its input. Threading: a parser is
// used by one thread.

#ifndef VARNOLET_FTP_REPLY_H_
#define VARNOLET_FTP_REPLY_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace varnolet {

// The largest reply accepted, all of its lines and line ends counted.
constexpr size_t kMaxReplyBytes = 64 * 1024;

struct FtpReply {
  int code = 0;  // 100..599
  // The reply's lines without their line ends, joined by '\n'. The first line
  // is given without "ddd-" or "ddd ", the last line of a multi-line reply
  // without "ddd "; the lines between are kept as they came.
  std::string text;
};

// Reply classes by first digit (RFC 959, 4.2).
inline bool IsPreliminary(int code) { return code >= 100 && code < 200; }
inline bool IsCompletion(int code) { return code >= 200 && code < 300; }
inline bool IsIntermediate(int code) { return code >= 300 && code < 400; }

class FtpReplyParser {
 public:
  // Parses bytes that follow those fed before. Complete replies queue up for
  // Next. Does nothing once the parser has failed.
  void Feed(std::string_view bytes);

  // Takes the oldest complete reply. Returns false if there is none.
  bool Next(FtpReply* reply);

  // True after an overlong reply or a malformed first line. Replies that were
  // complete before the fault can still be taken with Next.
  bool failed() const { return failed_; }

  // True when bytes of an unfinished reply are held.
  bool partial() const { return in_reply_ || !line_.empty(); }

 private:
  void EndLine();

  std::deque<FtpReply> ready_;
  std::string line_;      // the unfinished line, without its line end
  FtpReply current_;      // the reply being read (multi-line only)
  size_t current_bytes_ = 0;  // bytes of current_'s finished lines
  bool in_reply_ = false;
  bool failed_ = false;
};

// The directory of a 257 reply: the text between the first '"' of the first
// line and the next '"' that is not doubled, with every doubled '""' turned
// into one '"'. text is FtpReply::text. Returns false (directory untouched)
// when the first line holds no complete quoted name.
bool ParsePwdReply(std::string_view text, std::string* directory);

// The address of a 227 reply: the first "h1,h2,h3,h4,p1,p2" in the text (six
// decimal numbers of at most three digits, each 0..255, separated by single
// commas, not part of a longer run of digits). Returns false when there is
// none or when the port it names is 0.
struct PassiveAddress {
  uint8_t host[4] = {0, 0, 0, 0};
  uint16_t port = 0;
};
bool ParsePasvReply(std::string_view text, PassiveAddress* address);

// The port of a 229 reply: "(<d><d><d>port<d>)" after the first '(', where
// <d> is one printable character (not a digit) used all four times and port
// is 1..65535 in at most five digits. Returns false otherwise.
bool ParseEpsvReply(std::string_view text, uint16_t* port);

}  // namespace varnolet

#endif  // VARNOLET_FTP_REPLY_H_
