#include "ftp_reply.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace varnolet {
namespace {

struct Expected {
  int code;
  std::string text;
};

std::vector<Expected> TakeAll(FtpReplyParser* parser) {
  std::vector<Expected> replies;
  FtpReply reply;
  while (parser->Next(&reply)) replies.push_back({reply.code, reply.text});
  return replies;
}

void ExpectReplies(const std::vector<Expected>& expected, const std::vector<Expected>& actual,
                   const std::string& context) {
  ASSERT_EQ(expected.size(), actual.size()) << context;
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].code, actual[i].code) << context << " reply " << i;
    EXPECT_EQ(expected[i].text, actual[i].text) << context << " reply " << i;
  }
}

struct ParseCase {
  std::string input;
  std::vector<Expected> replies;
  bool partial_left;  // bytes of an unfinished reply remain
};

const ParseCase kParseCases[] = {
    {"220 Ready.\r\n", {{220, "Ready."}}, false},
    {"200\r\n", {{200, ""}}, false},
    {"257 \"/\"\n", {{257, "\"/\""}}, false},  // a bare LF ends a line too
    {"150 Ok\r\n226 Done\r\n", {{150, "Ok"}, {226, "Done"}}, false},
    {"230-Welcome\r\n to the server\r\n230 Logged in\r\n",
     {{230, "Welcome\n to the server\nLogged in"}},
     false},
    // Inside a multi-line reply, other codes and "230-" do not end it.
    {"230-a\r\n220 b\r\n230-c\r\n230 d\r\n", {{230, "a\n220 b\n230-c\nd"}}, false},
    {"211-\r\n211\r\n", {{211, "\n"}}, false},
    {"550 No\r\n221 Bye", {{550, "No"}}, true},
    {"230-Open\r\n", {}, true},
    {"120 Wait\r\n220 Now\r\n", {{120, "Wait"}, {220, "Now"}}, false},
    {"226 Text with\rCR inside\r\n", {{226, "Text with\rCR inside"}}, false},
};

TEST(FtpReplyParserTest, ParsesRepliesCutAtEveryByte) {
  for (const ParseCase& c : kParseCases) {
    for (size_t cut = 0; cut <= c.input.size(); ++cut) {
      FtpReplyParser parser;
      parser.Feed(std::string_view(c.input).substr(0, cut));
      std::vector<Expected> replies = TakeAll(&parser);
      parser.Feed(std::string_view(c.input).substr(cut));
      for (const Expected& e : TakeAll(&parser)) replies.push_back(e);
      const std::string context = "input '" + c.input + "' cut at " + std::to_string(cut);
      ExpectReplies(c.replies, replies, context);
      EXPECT_FALSE(parser.failed()) << context;
      EXPECT_EQ(c.partial_left, parser.partial()) << context;
    }
    FtpReplyParser bytewise;
    for (char byte : c.input) bytewise.Feed(std::string_view(&byte, 1));
    ExpectReplies(c.replies, TakeAll(&bytewise), "byte by byte '" + c.input + "'");
  }
}

TEST(FtpReplyParserTest, RejectsMalformedFirstLines) {
  const char* const kMalformed[] = {
      "hello\r\n", "2000 x\r\n", "600 x\r\n", "099 x\r\n", "22 x\r\n",
      "220x\r\n",  "\r\n",       "\n",        " 220 x\r\n", "2a0 x\r\n",
  };
  for (const char* input : kMalformed) {
    FtpReplyParser parser;
    parser.Feed("200 Fine\r\n");
    parser.Feed(input);
    EXPECT_TRUE(parser.failed()) << input;
    // What was complete before the fault is still handed out, then nothing.
    ExpectReplies({{200, "Fine"}}, TakeAll(&parser), input);
    parser.Feed("220 Later\r\n");
    EXPECT_TRUE(TakeAll(&parser).empty()) << input;
  }
}

TEST(FtpReplyParserTest, BoundsTheSizeOfOneReply) {
  // Exactly at the bound: one line whose CR LF makes kMaxReplyBytes.
  const std::string fits = "200 " + std::string(kMaxReplyBytes - 6, 'x') + "\r\n";
  ASSERT_EQ(kMaxReplyBytes, fits.size());
  {
    FtpReplyParser parser;
    parser.Feed(fits);
    EXPECT_FALSE(parser.failed());
    ASSERT_EQ(1u, TakeAll(&parser).size());
  }
  // One byte more fails, fed whole or in pieces.
  const std::string over = "200 " + std::string(kMaxReplyBytes - 5, 'x') + "\r\n";
  for (size_t piece : {over.size(), size_t{1000}, size_t{1}}) {
    FtpReplyParser parser;
    for (size_t at = 0; at < over.size(); at += piece) {
      parser.Feed(std::string_view(over).substr(at, piece));
    }
    EXPECT_TRUE(parser.failed()) << "pieces of " << piece;
    EXPECT_TRUE(TakeAll(&parser).empty());
  }
  // A line without end fails as soon as it passes the bound, before any LF.
  {
    FtpReplyParser parser;
    const std::string chunk(4096, 'y');
    parser.Feed("220 ");
    size_t fed = 4;
    while (!parser.failed() && fed < 4 * kMaxReplyBytes) {
      parser.Feed(chunk);
      fed += chunk.size();
    }
    EXPECT_TRUE(parser.failed());
    EXPECT_LE(fed, kMaxReplyBytes + chunk.size());
  }
  // Many short lines of one multi-line reply count together.
  {
    FtpReplyParser parser;
    parser.Feed("230-Start\r\n");
    const std::string line = " " + std::string(98, 'z') + "\r\n";
    for (size_t i = 0; i <= kMaxReplyBytes / line.size() && !parser.failed(); ++i) {
      parser.Feed(line);
    }
    EXPECT_TRUE(parser.failed());
    // A failed reply is dropped whole: nothing of it is still held.
    EXPECT_FALSE(parser.partial());
  }
  // The same for a multi-line reply that overflows within one line.
  {
    FtpReplyParser parser;
    parser.Feed("230-open\r\n");
    parser.Feed(std::string(kMaxReplyBytes + 10, 'x'));
    EXPECT_TRUE(parser.failed());
    EXPECT_FALSE(parser.partial());
  }
  // The bound is per reply: many replies in a row are fine.
  {
    FtpReplyParser parser;
    const std::string reply = "226 " + std::string(1000, 'w') + "\r\n";
    size_t taken = 0;
    for (int i = 0; i < 200; ++i) {
      parser.Feed(reply);
      taken += TakeAll(&parser).size();
    }
    EXPECT_FALSE(parser.failed());
    EXPECT_EQ(200u, taken);
  }
}

TEST(FtpReplyParserTest, ReplyClasses) {
  EXPECT_TRUE(IsPreliminary(150));
  EXPECT_FALSE(IsPreliminary(200));
  EXPECT_TRUE(IsCompletion(226));
  EXPECT_FALSE(IsCompletion(331));
  EXPECT_TRUE(IsIntermediate(331));
  EXPECT_FALSE(IsIntermediate(450));
}

TEST(ParsePwdReplyTest, Table) {
  struct Case {
    std::string text;
    bool ok;
    std::string directory;
  };
  const Case kCases[] = {
      {"\"/pub\" is the current directory.", true, "/pub"},
      {"\"/\"", true, "/"},
      {"\"\"", true, ""},
      {"\"/a \"\"b\"\" c\" is current", true, "/a \"b\" c"},
      {"\"\"\"\"\"\"", true, "\"\""},
      {"is current: \"/home/web\" (quoted)", true, "/home/web"},
      {"\"/x\" then \"/y\"", true, "/x"},
      {"\"/\x82\x5C\"", true, "/\x82\x5C"},
      {"\"/with space/\"\n\"second line\"", true, "/with space/"},
      {"/pub is the current directory.", false, ""},
      {"\"/unterminated", false, ""},
      {"\"/doubled at the end\"\"", false, ""},
      {"first line\n\"/on the second\"", false, ""},
      {"", false, ""},
  };
  for (const Case& c : kCases) {
    std::string directory = "untouched";
    EXPECT_EQ(c.ok, ParsePwdReply(c.text, &directory)) << c.text;
    EXPECT_EQ(c.ok ? c.directory : "untouched", directory) << c.text;
  }
}

TEST(ParsePasvReplyTest, Table) {
  struct Case {
    std::string text;
    bool ok;
    uint8_t host[4];
    uint16_t port;
  };
  const Case kCases[] = {
      {"Entering Passive Mode (127,0,0,1,4,1).", true, {127, 0, 0, 1}, 1025},
      {"Entering Passive Mode (10,1,2,3,255,255)", true, {10, 1, 2, 3}, 65535},
      {"=127,0,0,2,0,21", true, {127, 0, 0, 2}, 21},
      {"Mode 1 (127,0,0,1,0,1)", true, {127, 0, 0, 1}, 1},
      {"(1,2,3)(127,0,0,1,1,0)", true, {127, 0, 0, 1}, 256},
      {"Entering Passive Mode (127,0,0,1,0,0)", false, {}, 0},
      {"Entering Passive Mode (127,0,0,1,256,1)", false, {}, 0},
      {"Entering Passive Mode (127,0,0,1,4)", false, {}, 0},
      {"Entering Passive Mode (1270,0,0,1,4,1)", false, {}, 0},
      {"Entering Passive Mode (127,0,0,1,4,)", false, {}, 0},
      {"Entering Passive Mode (127, 0, 0, 1, 4, 1)", false, {}, 0},
      {"Entering Passive Mode (127,,0,0,1,4,1)", false, {}, 0},
      {"Entering Passive Mode (-127,0,0,1,4,1)", true, {127, 0, 0, 1}, 1025},
      {"Entering Passive Mode (127,0,0,1,4,1000)", false, {}, 0},
      {"", false, {}, 0},
  };
  for (const Case& c : kCases) {
    PassiveAddress address;
    EXPECT_EQ(c.ok, ParsePasvReply(c.text, &address)) << c.text;
    if (!c.ok) continue;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(c.host[i], address.host[i]) << c.text;
    EXPECT_EQ(c.port, address.port) << c.text;
  }
}

TEST(ParseEpsvReplyTest, Table) {
  struct Case {
    std::string text;
    bool ok;
    uint16_t port;
  };
  const Case kCases[] = {
      {"Entering Extended Passive Mode (|||6446|)", true, 6446},
      {"Entering Extended Passive Mode (!!!1!)", true, 1},
      {"(|||65535|)", true, 65535},
      {"(|||00021|)", true, 21},
      {"ok (|||6446|) and (|||7000|)", true, 6446},
      {"(|||0|)", false, 0},
      {"(|||65536|)", false, 0},
      {"(|||123456|)", false, 0},
      {"(||6446|)", false, 0},
      {"(|||6446)", false, 0},
      {"(|||6446|", false, 0},
      {"(|||6446!)", false, 0},
      {"(|1|2|3|)", false, 0},
      {"(111222)", false, 0},
      {"( ||| 6446|)", false, 0},
      {"(|||-1|)", false, 0},
      {"(|||", false, 0},
      {"Entering Extended Passive Mode |||6446|", false, 0},
      {"", false, 0},
  };
  for (const Case& c : kCases) {
    uint16_t port = 0;
    EXPECT_EQ(c.ok, ParseEpsvReply(c.text, &port)) << c.text;
    if (c.ok) {
      EXPECT_EQ(c.port, port) << c.text;
    }
  }
}

}  // namespace
}  // namespace varnolet
