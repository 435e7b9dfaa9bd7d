// Feeds arbitrary server bytes to the FTP reply parser in arbitrary chunkings
// and runs the 257, 227 and 229 parsers on everything that comes out.
//
// Input: the first byte picks the chunk sizes, and with bit 0x40 set the rest
// is sent four times over (so that inputs of the fuzzer's length limit still
// reach the reply bound); the rest is what the server sends. Properties checked:
//   - Feeding everything at once, byte by byte, and in the chosen chunks
//     (taking replies between chunks) gives the same replies and the same
//     final state.
//   - The replies and the failed state are those of a line-by-line reading of
//     the parser's contract (ftp_reply.h), written here independently.
//   - No reply is larger than the bound; every code is 100..599.
//   - A parsed directory is shorter than the reply text and reads back the
//     same once quoted again; a parsed port is never 0 and reads back the
//     same; a failed parse leaves its output untouched.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ftp_reply.h"

namespace {

using varnolet::FtpReply;
using varnolet::FtpReplyParser;
using varnolet::kMaxReplyBytes;

void Check(bool condition) {
  if (!condition) std::abort();
}

struct Outcome {
  std::vector<FtpReply> replies;
  bool failed = false;
  bool partial = false;
};

bool SameReplies(const std::vector<FtpReply>& a, const std::vector<FtpReply>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].code != b[i].code || a[i].text != b[i].text) return false;
  }
  return true;
}

void Take(FtpReplyParser* parser, Outcome* outcome) {
  FtpReply reply;
  while (parser->Next(&reply)) outcome->replies.push_back(std::move(reply));
}

void Finish(FtpReplyParser* parser, Outcome* outcome) {
  Take(parser, outcome);
  outcome->failed = parser->failed();
  outcome->partial = parser->partial();
}

// Feeds bytes in pieces whose sizes come from a small generator seeded by
// seed; takes replies after every piece when take_between is set.
Outcome FeedInChunks(std::string_view bytes, uint8_t seed, bool take_between) {
  FtpReplyParser parser;
  Outcome outcome;
  uint32_t state = seed * 2654435761u + 1;
  // Mostly small pieces, now and then a large one.
  const size_t large = 1 + (seed & 0x0F) * 4096;
  while (!bytes.empty()) {
    state = state * 1103515245u + 12345u;
    const uint32_t r = state >> 16;
    size_t size = (r & 7) == 0 ? large : 1 + r % 13;
    if (size > bytes.size()) size = bytes.size();
    parser.Feed(bytes.substr(0, size));
    bytes.remove_prefix(size);
    if (take_between) Take(&parser, &outcome);
  }
  Finish(&parser, &outcome);
  return outcome;
}

// The contract read line by line: what the parser must give for the whole
// input. A line is counted with its line end; an unfinished last line counts
// as far as it goes.
int ModelCode(std::string_view line) {
  if (line.size() < 3 || line[0] < '1' || line[0] > '5' || line[1] < '0' || line[1] > '9' ||
      line[2] < '0' || line[2] > '9') {
    return 0;
  }
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

Outcome Model(std::string_view bytes) {
  Outcome outcome;
  bool in_reply = false;
  FtpReply current;
  size_t reply_bytes = 0;  // of the reply being read, line ends included
  while (!bytes.empty()) {
    const size_t lf = bytes.find('\n');
    const size_t raw = lf == std::string_view::npos ? bytes.size() : lf + 1;
    if (reply_bytes + raw > kMaxReplyBytes) {
      outcome.failed = true;
      return outcome;
    }
    if (lf == std::string_view::npos) {
      outcome.partial = true;  // an unfinished line is held
      return outcome;
    }
    std::string_view line = bytes.substr(0, lf);
    bytes.remove_prefix(lf + 1);
    reply_bytes += raw;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    const int code = ModelCode(line);
    if (!in_reply) {
      if (code == 0 || (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
        outcome.failed = true;
        return outcome;
      }
      current = FtpReply();
      current.code = code;
      if (line.size() > 4) current.text = std::string(line.substr(4));
      if (line.size() > 3 && line[3] == '-') {
        in_reply = true;
      } else {
        outcome.replies.push_back(current);
        reply_bytes = 0;
      }
      continue;
    }
    const bool ends = code == current.code && (line.size() == 3 || line[3] == ' ');
    current.text += '\n';
    current.text += ends ? line.substr(line.size() > 3 ? 4 : 3) : line;
    if (ends) {
      outcome.replies.push_back(current);
      in_reply = false;
      reply_bytes = 0;
    }
  }
  outcome.partial = in_reply;
  return outcome;
}

std::string Quote(std::string_view directory) {
  std::string quoted = "257 \"";
  for (char c : directory) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\" is the directory";
}

void CheckTextParsers(std::string_view text) {
  std::string directory = "\x01untouched";
  if (varnolet::ParsePwdReply(text, &directory)) {
    // Two quotes at least are not part of the name.
    Check(directory.size() + 2 <= text.size());
    Check(directory.find('\n') == std::string::npos);
    const std::string requoted = Quote(directory);
    std::string again;
    Check(varnolet::ParsePwdReply(std::string_view(requoted).substr(4), &again));
    Check(again == directory);
  } else {
    Check(directory == "\x01untouched");
  }

  varnolet::PassiveAddress address;
  address.host[0] = 9;
  address.port = 4242;
  if (varnolet::ParsePasvReply(text, &address)) {
    Check(address.port != 0);
    const std::string printed =
        "Entering Passive Mode (" + std::to_string(address.host[0]) + "," +
        std::to_string(address.host[1]) + "," + std::to_string(address.host[2]) + "," +
        std::to_string(address.host[3]) + "," + std::to_string(address.port >> 8) + "," +
        std::to_string(address.port & 0xFF) + ")";
    varnolet::PassiveAddress again;
    Check(varnolet::ParsePasvReply(printed, &again));
    Check(again.port == address.port);
    for (int i = 0; i < 4; ++i) Check(again.host[i] == address.host[i]);
  } else {
    Check(address.host[0] == 9 && address.port == 4242);
  }

  uint16_t port = 4242;
  if (varnolet::ParseEpsvReply(text, &port)) {
    Check(port != 0);
    uint16_t again = 0;
    Check(varnolet::ParseEpsvReply("Extended Passive Mode (|||" + std::to_string(port) + "|)",
                                   &again));
    Check(again == port);
  } else {
    Check(port == 4242);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t seed = data[0];
  const std::string_view payload(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string stream(payload);
  if (seed & 0x40) {
    for (int i = 0; i < 3; ++i) stream += payload;
  }
  const std::string_view bytes = stream;

  FtpReplyParser whole_parser;
  whole_parser.Feed(bytes);
  Outcome whole;
  Finish(&whole_parser, &whole);

  FtpReplyParser bytewise_parser;
  for (char byte : bytes) bytewise_parser.Feed(std::string_view(&byte, 1));
  Outcome bytewise;
  Finish(&bytewise_parser, &bytewise);

  Outcome chunked = FeedInChunks(bytes, seed, (seed & 0x80) != 0);
  Outcome model = Model(bytes);

  for (const Outcome* other : {&bytewise, &chunked, &model}) {
    Check(SameReplies(whole.replies, other->replies));
    Check(whole.failed == other->failed);
  }
  // After a fault nothing is held; otherwise the chunkings agree on what is.
  Check(!whole.failed || !whole.partial);
  Check(whole.partial == bytewise.partial && whole.partial == chunked.partial);
  Check(whole.failed || whole.partial == model.partial);

  // A failed parser takes nothing more.
  if (whole.failed) {
    whole_parser.Feed("200 ok\r\n");
    FtpReply reply;
    Check(!whole_parser.Next(&reply));
  }

  size_t newlines = 0;
  for (char c : bytes) newlines += c == '\n';
  Check(whole.replies.size() <= newlines);
  for (const FtpReply& reply : whole.replies) {
    Check(reply.code >= 100 && reply.code <= 599);
    Check(reply.text.size() <= kMaxReplyBytes);
    CheckTextParsers(reply.text);
  }
  // The text parsers also see raw bytes, line ends and all.
  CheckTextParsers(bytes);
  return 0;
}
