// The control's key, hex, name and stamp texts, built natively (sanitizers).
#include <gtest/gtest.h>

#include "Names.h"

using namespace corvane;

TEST(Names, KeysKeepTheSignAndHexIsTwosComplement) {
  EXPECT_EQ("C-1234567", ConvKey(1234567));
  EXPECT_EQ("C--5", ConvKey(-5));
  EXPECT_EQ("Sv-5", ServiceKey(5));
  EXPECT_EQ("I--1", ItemKey(-1));
  EXPECT_EQ("T-0", TransKey(0));
  EXPECT_EQ("FFFFFFFF", Hex(-1));
  EXPECT_EQ("80000000", Hex(INT32_MIN));
  EXPECT_EQ("1A2B", Hex(0x1A2B));
}

TEST(Names, ErrorTableFirstMatchWins) {
  EXPECT_EQ("DMLERR_LAST", ErrorName(16401));
  EXPECT_EQ("DMLERR_ADVACKTIMEOUT", ErrorName(16384));
  EXPECT_EQ("DMLERR_NO_CONV_ESTABLISHED", ErrorName(16394));
  EXPECT_EQ("DMLERR_UNADVACKTIMEOUT", ErrorName(16400));
  EXPECT_EQ("", ErrorName(16402));
  EXPECT_EQ(-1, MapLastError(16383));
  EXPECT_EQ(-1, MapLastError(16402));
  EXPECT_EQ(0, MapLastError(0));
}

TEST(Names, RoundedCountsAndStamp) {
  EXPECT_EQ(0, RoundedElementCount(1, 2));   // 0.5 -> 0
  EXPECT_EQ(2, RoundedElementCount(3, 2));   // 1.5 -> 2
  EXPECT_EQ(2, RoundedElementCount(5, 2));   // 2.5 -> 2
  EXPECT_EQ(0, RoundedElementCount(2, 4));   // 0.5 -> 0
  EXPECT_EQ(2, RoundedElementCount(6, 4));   // 1.5 -> 2
  EXPECT_EQ(1, RoundedElementCount(3, 4));   // 0.75 -> 1
  EXPECT_EQ(0, RoundedElementCount(-4, 4));
  EXPECT_EQ("08-Dec-26 04:05:09", LogStamp(2026, 12, 8, 4, 5, 9));
  EXPECT_EQ("31-Jan-00 23:59:59", LogStamp(2000, 1, 31, 23, 59, 59));
}

TEST(Names, CallbackTable) {
  EXPECT_EQ("XTYP_CONNECT", ClassifyCallback(0x1062).typeName);
  EXPECT_EQ("FALSE", ClassifyCallback(0x1062).returnName);
  EXPECT_EQ("DDE_FNOTPROCESSED", ClassifyCallback(0x20E2).returnName);
  EXPECT_EQ("Unknown (&H1234)", ClassifyCallback(0x1234).typeName);
  EXPECT_EQ("0", ClassifyCallback(0x8002).returnName);
  EXPECT_TRUE(ClassifyCallback(0x4010).handled);
  EXPECT_FALSE(ClassifyCallback(0x8040).handled);
}
