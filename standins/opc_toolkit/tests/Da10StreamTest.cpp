// The DA 1.0 stream formats, byte for byte: headers, value offsets, wire VARIANTs, strings.
#include <gtest/gtest.h>

#include "Da10Stream.h"

#include <vector>

using opc_toolkit::BuildDataStream;
using opc_toolkit::BuildWriteCompleteStream;
using opc_toolkit::StreamItem;

namespace {

std::vector<uint8_t> Le32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
void Cat(std::vector<uint8_t>& a, const std::vector<uint8_t>& b) { a.insert(a.end(), b.begin(), b.end()); }

TEST(Da10Stream, DataTimeWithANumberAndAString) {
  VARIANT n, s;
  VariantInit(&n);
  V_VT(&n) = VT_I2;
  V_I2(&n) = -2;  // 0xFFFE
  VariantInit(&s);
  V_VT(&s) = VT_BSTR;
  V_BSTR(&s) = SysAllocString(L"Hi");
  FILETIME t1 = {0x11223344, 0x55667788}, t2 = {1, 2};
  auto b = BuildDataStream(0xAB, 9, true, {{7, 0xC0, t1, &n}, {8, 0x00, t2, &s}});

  std::vector<uint8_t> want;
  // OPCGROUPHEADER: size, count, client group, transaction, status (S_FALSE: one item bad)
  Cat(want, Le32(20 + 2 * 20 + 16 + 16 + 4 + 6));
  Cat(want, Le32(2));
  Cat(want, Le32(0xAB));
  Cat(want, Le32(9));
  Cat(want, Le32(1));
  // OPCITEMHEADER1 x2: client, value offset, quality, reserved, time stamp
  Cat(want, Le32(7));
  Cat(want, Le32(60));
  Cat(want, {0xC0, 0, 0, 0});
  Cat(want, Le32(0x11223344));
  Cat(want, Le32(0x55667788));
  Cat(want, Le32(8));
  Cat(want, Le32(76));
  Cat(want, {0, 0, 0, 0});
  Cat(want, Le32(1));
  Cat(want, Le32(2));
  // value 1: VT_I2, reserved words, data
  Cat(want, {2, 0, 0, 0, 0, 0, 0, 0, 0xFE, 0xFF, 0, 0, 0, 0, 0, 0});
  // value 2: VT_BSTR with no pointer, then byte count, characters and NUL
  Cat(want, {8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  Cat(want, Le32(4));
  Cat(want, {'H', 0, 'i', 0, 0, 0});
  EXPECT_EQ(b, want);
  VariantClear(&s);
}

TEST(Da10Stream, DataWithoutTimeAndUnsupportedValues) {
  VARIANT d, arr;
  VariantInit(&d);
  V_VT(&d) = VT_R8;
  V_R8(&d) = 1.0;  // 0x3FF0000000000000
  VariantInit(&arr);
  V_VT(&arr) = VT_ARRAY | VT_I4;
  V_ARRAY(&arr) = SafeArrayCreateVector(VT_I4, 0, 3);
  auto b = BuildDataStream(1, 0, false, {{3, 0xC0, {}, &d}, {4, 0xC0, {}, &arr}, {5, 0xC0, {}, nullptr}});
  ASSERT_EQ(b.size(), 20u + 3 * 12 + 3 * 16);
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 16, b.begin() + 20), Le32(0));  // all good
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 24, b.begin() + 28), Le32(56));
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 36, b.begin() + 40), Le32(72));
  std::vector<uint8_t> r8 = {5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 56, b.begin() + 72), r8);
  // An array cannot travel in this format: it goes as an empty value.
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 72, b.begin() + 88), std::vector<uint8_t>(16, 0));
  VariantClear(&arr);
}

TEST(Da10Stream, WriteComplete) {
  auto b = BuildWriteCompleteStream(0x10, 0x20, {1, 2}, {S_OK, static_cast<HRESULT>(0xC0040006)});
  std::vector<uint8_t> want;
  Cat(want, Le32(2));
  Cat(want, Le32(0x10));
  Cat(want, Le32(0x20));
  Cat(want, Le32(1));
  Cat(want, Le32(1));
  Cat(want, Le32(0));
  Cat(want, Le32(2));
  Cat(want, Le32(0xC0040006));
  EXPECT_EQ(b, want);
  EXPECT_EQ(BuildWriteCompleteStream(0, 0, {}, {}).size(), 16u);
}

}  // namespace
