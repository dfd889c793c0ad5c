// What the DDE service reads from its clients' messages, natively under the sanitizers: blocks
// of any size are read within it, texts stop at the terminator or the block's end, and execute
// strings split into the commands a client meant.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DdeRequests.h"

using namespace wbs::dde;

namespace {
std::vector<uint8_t> Block(std::initializer_list<int> head, const std::string& rest = "") {
  std::vector<uint8_t> b;
  for (int x : head) b.push_back(static_cast<uint8_t>(x));
  b.insert(b.end(), rest.begin(), rest.end());
  return b;
}
}  // namespace

TEST(DdeRequests, PokeBlocksOfEverySizeAndTheirText) {
  // Shorter than the header: nothing is read (exact-size copies, checked by the sanitizer).
  const auto head = Block({0x00, 0x20, 0x01, 0x00});
  for (size_t n = 0; n < kHeaderSize; ++n) {
    std::vector<uint8_t> b(head.begin(), head.begin() + static_cast<long>(n));
    EXPECT_FALSE(ReadPokeBlock(n ? b.data() : nullptr, n)) << n;
  }
  auto p = ReadPokeBlock(head.data(), head.size());
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->release && p->isText);
  EXPECT_EQ("", p->text);

  // CF_TEXT: up to the NUL, trailing CR/LF dropped; without a NUL, up to the block's end.
  auto b = Block({0x00, 0x20, 0x01, 0x00}, std::string("12.5\r\n\0junk", 11));
  EXPECT_EQ("12.5", ReadPokeBlock(b.data(), b.size())->text);
  b = Block({0x00, 0x00, 0x01, 0x00}, "a\tb\r\nc\r\n\r\n");
  p = ReadPokeBlock(b.data(), b.size());
  EXPECT_FALSE(p->release);
  EXPECT_EQ("a\tb\r\nc", p->text);
  b = Block({0x00, 0x20, 0x01, 0x00}, "no terminator");
  EXPECT_EQ("no terminator", ReadPokeBlock(b.data(), b.size())->text);
  EXPECT_EQ("no term", ReadPokeBlock(b.data(), kHeaderSize + 7)->text);

  // Another format (XlTable, registered): its bytes are not read as text.
  b = Block({0x00, 0x20, 0x05, 0xC0}, "\x10\x00\x04\x00");
  p = ReadPokeBlock(b.data(), b.size());
  EXPECT_EQ(0xC005, p->format);
  EXPECT_FALSE(p->isText);
  EXPECT_EQ("", p->text);
}

TEST(DdeRequests, AdviseOptions) {
  auto b = Block({0x00, 0xC0, 0x01, 0x00});
  for (size_t n = 0; n < kHeaderSize; ++n) EXPECT_FALSE(ReadAdviseBlock(b.data(), n)) << n;
  auto a = ReadAdviseBlock(b.data(), b.size());
  ASSERT_TRUE(a);
  EXPECT_TRUE(a->deferUpd && a->ackReq);
  EXPECT_EQ(kCfText, a->format);
  b = Block({0xFF, 0x3F, 0x01, 0x00});  // only the two top bits are options
  a = ReadAdviseBlock(b.data(), b.size());
  EXPECT_FALSE(a->deferUpd || a->ackReq);
}

TEST(DdeRequests, ExecuteBlocksAnsiAndUtf16) {
  auto b = Block({}, std::string("[RUN(\"M\")]\0[x]", 14));
  CommandText t = ReadExecuteBlock(b.data(), b.size());
  EXPECT_FALSE(t.wide);
  EXPECT_EQ("[RUN(\"M\")]", t.ansi);
  b = Block({}, "[CALCULATE]");  // no terminator
  EXPECT_EQ("[CALCULATE]", ReadExecuteBlock(b.data(), b.size()).ansi);
  EXPECT_EQ("", ReadExecuteBlock(b.data(), 0).ansi);

  // UTF-16: to the zero character, or to the last whole character of the block.
  b = Block({'[', 0, 'A', 0, ']', 0, 0, 0, 'z', 0});
  t = ReadExecuteBlock(b.data(), b.size());
  EXPECT_TRUE(t.wide);
  EXPECT_EQ(u"[A]", t.utf16);
  b = Block({'[', 0, 0xAC, 0x20, ']'});  // odd size: the last byte is half a character
  t = ReadExecuteBlock(b.data(), b.size());
  EXPECT_EQ(u"[\u20AC", t.utf16);
  b = Block({'A'});
  t = ReadExecuteBlock(b.data(), b.size());
  EXPECT_FALSE(t.wide);
  EXPECT_EQ("A", t.ansi);
}

TEST(DdeRequests, ExecuteStringsSplitIntoCommands) {
  const std::string s = "[CALCULATE.NOW()] \r\n[ RUN( \"Tick]Tock\" , 2 ) ][Calculate]";
  size_t i = 0;
  Command c;
  std::string error;
  ASSERT_EQ(Step::Command, NextCommand(s, i, c, error));
  EXPECT_EQ("CALCULATE.NOW", c.name);
  EXPECT_EQ("", c.args);
  ASSERT_EQ(Step::Command, NextCommand(s, i, c, error));
  EXPECT_EQ("RUN", c.name);
  EXPECT_EQ("\"Tick]Tock\" , 2", c.args);  // a bracket inside quotes does not end the command
  EXPECT_EQ("Tick]Tock", MacroName(c.args));
  ASSERT_EQ(Step::Command, NextCommand(s, i, c, error));
  EXPECT_EQ("Calculate", c.name);
  EXPECT_EQ("", c.args);  // what the last command had is not kept
  EXPECT_EQ(Step::Done, NextCommand(s, i, c, error));
  EXPECT_EQ(Step::Done, NextCommand(s, i, c, error));

  const struct {
    const char* text;
    const char* error;
  } bad[] = {{"CALCULATE", "commands are written in brackets: [CALCULATE.NOW()]"},
             {"[RUN(\"M\")", "missing ]"},
             {"[RUN(\"M]\")", "missing ]"},
             {"[RUN(M]", "missing ) in RUN(M"}};
  for (const auto& b : bad) {
    i = 0;
    error.clear();
    EXPECT_EQ(Step::Error, NextCommand(b.text, i, c, error)) << b.text;
    EXPECT_EQ(b.error, error) << b.text;
  }
}

TEST(DdeRequests, MacroNames) {
  EXPECT_EQ("Tick", MacroName("\"Tick\""));
  EXPECT_EQ("Tick", MacroName("Tick, 2"));
  EXPECT_EQ("a,b", MacroName("\"a,b\", 1"));
  EXPECT_EQ("open", MacroName("\"open"));
  EXPECT_EQ("\"", MacroName("\""));
  EXPECT_EQ("", MacroName(""));
  EXPECT_EQ("", MacroName(", x"));
}

TEST(DdeRequests, TextDataBlockLayout) {
  EXPECT_EQ(Block({0x00, 0x30, 0x01, 0x00}, std::string("7\r\n\0", 4)), TextDataBlock("7", true, false));
  EXPECT_EQ(Block({0x00, 0xA0, 0x01, 0x00}, std::string("\r\n\0", 3)), TextDataBlock("", false, true));
}
