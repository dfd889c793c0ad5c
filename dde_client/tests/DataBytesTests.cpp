// The bytes a DDEData object keeps and hands back (natively, under the sanitizers): copies stay
// inside the bytes held and inside the elements asked for.
#include <gtest/gtest.h>

#include <vector>

#include "DataBytes.h"

using namespace corvane;

TEST(DataBytes, KeepsExactlyTheAccessibleBytes) {
  const uint8_t text[] = {'4', '2', '\r', '\n', 0};
  EXPECT_EQ(std::vector<uint8_t>(text, text + 5), KeptBytes(text, 5));
  EXPECT_TRUE(KeptBytes(text, 0).empty());
  EXPECT_TRUE(KeptBytes(nullptr, 5).empty());  // a handle DDEML could not give access to
  EXPECT_EQ(5, HeldSize(KeptBytes(text, 5)));
}

TEST(DataBytes, ElementsAreRoundedAndFilledFromTheBytesHeldOnly) {
  const std::vector<uint8_t> three = {0x11, 0x22, 0x33};
  EXPECT_EQ(3, ElementCount(three, 1));
  EXPECT_EQ(2, ElementCount(three, 2));  // 1.5 to even
  EXPECT_EQ(1, ElementCount(three, 4));
  EXPECT_EQ(0, ElementCount(three, 0));
  EXPECT_EQ(0, ElementCount(three, -4));
  EXPECT_EQ(0, ElementCount({}, 1));

  // Rounded up: the missing byte of the last element is 0, and nothing past it is written.
  std::vector<uint8_t> out(8, 0xEE);
  FillElements(three, 2, 2, out.data());
  EXPECT_EQ((std::vector<uint8_t>{0x11, 0x22, 0x33, 0, 0xEE, 0xEE, 0xEE, 0xEE}), out);

  // Rounded down: 5 bytes as one 4-byte element copy 4 of them and no more.
  const std::vector<uint8_t> five = {1, 2, 3, 4, 5};
  ASSERT_EQ(1, ElementCount(five, 4));
  out.assign(8, 0xEE);
  FillElements(five, 1, 4, out.data());
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE}), out);

  out.assign(4, 0xEE);
  FillElements(three, 0, 4, out.data());
  FillElements(three, -1, 4, out.data());
  FillElements({}, 1, 4, out.data());
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0}), out);  // only the empty block's one element
}

TEST(DataBytes, CopyCountsAndIndexesStayInsideTheBlock) {
  const std::vector<uint8_t> three = {7, 8, 9};
  EXPECT_EQ(3, CopyCount(three, 100));
  EXPECT_EQ(2, CopyCount(three, 2));
  EXPECT_EQ(-4, CopyCount(three, -4));  // given back, nothing copied
  EXPECT_EQ(0, CopyCount({}, 10));

  EXPECT_EQ(9, ByteAt(three, 2).value_or(0));
  EXPECT_FALSE(ByteAt(three, 3));
  EXPECT_FALSE(ByteAt(three, -1));
  EXPECT_EQ(0, ByteAt({}, 0).value_or(1));  // an empty block still holds one element
  EXPECT_FALSE(ByteAt({}, 1));
  EXPECT_FALSE(ByteAt({}, -1));
}
