// What our DDEML reads from and writes into DDE messages, natively under the sanitizers: short
// and odd blocks from a server are read within their size, and what it writes has the layout
// servers read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DdeBlocks.h"

using namespace ourddeml::blocks;

namespace {
std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
  std::vector<uint8_t> b;
  for (int x : v) b.push_back(static_cast<uint8_t>(x));
  return b;
}
}  // namespace

TEST(DdeBlocks, DataBlockFlagsFormatAndValue) {
  // fAckReq | fRelease | fResponse, CF_TEXT, "42\r\n" and its NUL.
  auto b = Bytes({0x00, 0xB0, 0x01, 0x00, '4', '2', '\r', '\n', 0});
  DataMessage m = ReadDataBlock(b.data(), b.size());
  EXPECT_TRUE(m.response);
  EXPECT_TRUE(m.release);
  EXPECT_TRUE(m.ackReq);
  EXPECT_EQ(1, m.format);
  EXPECT_EQ(Bytes({'4', '2', '\r', '\n', 0}), m.value);

  // A registered format keeps all 16 bits; the unused low flag bits mean nothing.
  b = Bytes({0xFF, 0x0F, 0xF0, 0xC1, 7});
  m = ReadDataBlock(b.data(), b.size());
  EXPECT_FALSE(m.response || m.release || m.ackReq);
  EXPECT_EQ(0xC1F0, m.format);
  EXPECT_EQ(Bytes({7}), m.value);

  // The size given is the end: bytes after it are never taken.
  m = ReadDataBlock(b.data(), 4);
  EXPECT_TRUE(m.value.empty());
}

TEST(DdeBlocks, BlocksShorterThanTheHeaderAreReadWithinTheirSize) {
  // Exactly sized copies, so that reading past them is an error under the sanitizer.
  const auto full = Bytes({0x00, 0x30, 0x01});
  for (size_t n = 0; n <= full.size(); ++n) {
    std::vector<uint8_t> b(full.begin(), full.begin() + static_cast<long>(n));
    DataMessage m = ReadDataBlock(n ? b.data() : nullptr, n);
    EXPECT_TRUE(m.value.empty()) << n;
    EXPECT_EQ(n >= 2, m.release) << n;
    EXPECT_EQ(n >= 2, m.response) << n;
    EXPECT_FALSE(m.ackReq) << n;
    EXPECT_EQ(n >= 3 ? 1 : 0, m.format) << n;
  }
  EXPECT_TRUE(ReadDataBlock(nullptr, 100).value.empty());
}

TEST(DdeBlocks, PokeAndAdviseBlocksHaveTheMessageLayout) {
  const uint8_t text[] = {'9', 0};
  EXPECT_EQ(Bytes({0x00, 0x20, 0x01, 0x00, '9', 0}), PokeBlock(1, text, 2));
  EXPECT_EQ(Bytes({0x00, 0x20, 0xF0, 0xC1}), PokeBlock(0xC1F0, nullptr, 5));
  EXPECT_EQ(Bytes({0x00, 0x00, 0x01, 0x00}), AdviseBlock(1, false, false));
  EXPECT_EQ(Bytes({0x00, 0x40, 0x01, 0x00}), AdviseBlock(1, true, false));
  EXPECT_EQ(Bytes({0x00, 0xC0, 0x01, 0x00}), AdviseBlock(1, true, true));

  // A poke block read as data gives back what was poked.
  auto p = PokeBlock(0x1234, text, 2);
  DataMessage m = ReadDataBlock(p.data(), p.size());
  EXPECT_TRUE(m.release);
  EXPECT_FALSE(m.response || m.ackReq);
  EXPECT_EQ(0x1234, m.format);
  EXPECT_EQ(Bytes({'9', 0}), m.value);
}

TEST(DdeBlocks, AckStatusAndAtomValues) {
  EXPECT_TRUE(ReadAckStatus(0x8000).positive);
  EXPECT_FALSE(ReadAckStatus(0x8000).busy);
  EXPECT_TRUE(ReadAckStatus(0x4000).busy);
  EXPECT_FALSE(ReadAckStatus(0x4000).positive);
  // Only the low word is the status.
  EXPECT_EQ(0, ReadAckStatus(0x10000).status);
  EXPECT_EQ(0x8001, ReadAckStatus(0x7F8001).status);
  EXPECT_FALSE(IsAtomValue(0));
  EXPECT_TRUE(IsAtomValue(0xC000));
  EXPECT_TRUE(IsAtomValue(0xFFFF));
  EXPECT_FALSE(IsAtomValue(0x10000));  // a memory handle
}

TEST(DdeBlocks, InstanceNamesRoundTripAndOddNamesAreRefused) {
  const std::string name = InstanceName("Excel", 0x1002A);
  EXPECT_EQ("Excel(0x0001002A)", name);
  std::string base;
  uint64_t w = 0;
  ASSERT_TRUE(SplitInstanceName(name, &base, &w));
  EXPECT_EQ("Excel", base);
  EXPECT_EQ(0x1002Au, w);
  ASSERT_TRUE(SplitInstanceName("A(0x1)(0xffffffffffffffff)", &base, &w));
  EXPECT_EQ("A(0x1)", base);  // the last "(0x" counts
  EXPECT_EQ(UINT64_MAX, w);
  for (const char* bad : {"", ")", "(0x1)", "Excel", "Excel(0x)", "Excel(0x1", "Excel(0x1) ",
                          "Excel(0xG1)", "Excel(0x-1)", "Excel(0x12345678901234567)", "Excel(1)"}) {
    base = "kept";
    EXPECT_FALSE(SplitInstanceName(bad, &base, &w)) << bad;
    EXPECT_EQ("kept", base) << bad;
  }
}
