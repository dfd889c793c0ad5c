// The portable rules of the server list and the conversions, natively (and under the sanitizers):
// case-insensitive ProgID ordering and duplicates, the local-node test, milliseconds on dates.
#include <gtest/gtest.h>

#include "portable/DateMath.h"
#include "portable/NodeName.h"
#include "portable/ProgIdSet.h"

#include <cmath>
#include <string>
#include <vector>

namespace veltrane {
namespace {

TEST(ProgIdOrder, ComparesLettersWithoutCaseAndEverythingElseByByte) {
  EXPECT_EQ(0, CompareNoCase("Sim.OPCDA.2", "sim.opcda.2"));
  EXPECT_LT(CompareNoCase("Sim.OPCDA.1", "SIM.OPCDA.2"), 0);
  EXPECT_LT(CompareNoCase("sim", "Sim.OPCDA"), 0);  // a prefix sorts first
  EXPECT_GT(CompareNoCase("Sim.OPCDA", "sim"), 0);
  // Letters fold to lower case, so '_' (0x5F) sorts before every letter, also capitals.
  EXPECT_LT(CompareNoCase("A_b", "AAb"), 0);
  EXPECT_LT(CompareNoCase("A_b", "Aab"), 0);
  // Bytes above 0x7F are not folded and compare unsigned (after every ASCII letter).
  EXPECT_LT(CompareNoCase("Z", "\xC4"), 0);
  EXPECT_NE(0, CompareNoCase("\xC4", "\xE4"));
}

TEST(ProgIdSetTest, KeepsOneEntryPerNameIgnoringCaseInOrderFirstSpellingWins) {
  ProgIdSet set;
  EXPECT_TRUE(set.Add("Vendor.B.1"));
  EXPECT_TRUE(set.Add("sim.OPCDA.2"));
  EXPECT_TRUE(set.Add("Alpha"));
  EXPECT_FALSE(set.Add("SIM.opcda.2"));
  EXPECT_TRUE(set.Add("Sim.OPCDA.1"));
  EXPECT_FALSE(set.Add("vendor.b.1"));
  EXPECT_TRUE(set.Add("Sim.OPCDA"));
  EXPECT_EQ((std::vector<std::string>{"Alpha", "Sim.OPCDA", "Sim.OPCDA.1", "sim.OPCDA.2", "Vendor.B.1"}),
            set.Items());
  EXPECT_TRUE(set.Contains("SIM.OPCDA.2"));
  EXPECT_FALSE(set.Contains("Sim.OPCDA.3"));
  set.Clear();
  EXPECT_EQ(0u, set.Size());
  EXPECT_TRUE(set.Add("vendor.b.1"));  // nothing remembered from before Clear
}

TEST(ProgIdSetTest, ManyNamesInAnyOrderComeOutSortedAndUnique) {
  ProgIdSet set;
  std::vector<std::string> added;
  for (int i = 0; i < 200; ++i) {
    std::string name = "Srv." + std::to_string((i * 37) % 100);
    if (i % 3 == 0)
      for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    set.Add(name);
  }
  ASSERT_EQ(100u, set.Size());
  for (size_t i = 1; i < set.Items().size(); ++i)
    EXPECT_LT(CompareNoCase(set.Items()[i - 1], set.Items()[i]), 0) << set.Items()[i];
}

TEST(NodeNameTest, ThisComputerUnderItsNamesAndBehindSlashes) {
  EXPECT_TRUE(IsLocalNodeName("\\\\LOCALHOST", "BUILDPC"));
  EXPECT_TRUE(IsLocalNodeName("//localhost", "BUILDPC"));
  EXPECT_TRUE(IsLocalNodeName("\\/\\127.0.0.1", "BUILDPC"));
  EXPECT_TRUE(IsLocalNodeName("buildpc", "BUILDPC"));
  EXPECT_TRUE(IsLocalNodeName("\\\\BuildPc", "BUILDPC"));
  EXPECT_TRUE(IsLocalNodeName("", "BUILDPC"));
  EXPECT_TRUE(IsLocalNodeName("\\\\", "BUILDPC"));
}

TEST(NodeNameTest, AnyOtherNameIsRemote) {
  EXPECT_FALSE(IsLocalNodeName("otherpc", "BUILDPC"));
  EXPECT_FALSE(IsLocalNodeName("localhost2", "BUILDPC"));
  EXPECT_FALSE(IsLocalNodeName("localhost.", "BUILDPC"));
  EXPECT_FALSE(IsLocalNodeName("127.0.0.2", "BUILDPC"));
  EXPECT_FALSE(IsLocalNodeName("BUILDPC\\", "BUILDPC"));  // only leading separators are skipped
  EXPECT_FALSE(IsLocalNodeName(" buildpc", "BUILDPC"));
  EXPECT_FALSE(IsLocalNodeName("x", ""));  // an unknown own name matches nothing
}

// The time of day of an OLE date, in milliseconds (for negative dates the fraction is of |date|).
double MillisecondsOfDay(double date) {
  double a = std::fabs(date);
  return (a - std::floor(a)) * 86400000.0;
}

TEST(DateMathTest, MillisecondsLandOnTheSameDayLater) {
  const double noon = 45366.5;  // 2024-03-15 12:00
  EXPECT_NEAR(43200250.0, MillisecondsOfDay(AddMilliseconds(noon, 250)), 1e-3);
  EXPECT_NEAR(43200999.0, MillisecondsOfDay(AddMilliseconds(noon, 999)), 1e-3);
  EXPECT_EQ(noon, AddMilliseconds(noon, 0));
  // Before 1899-12-30 a later time is a more negative value: -1.25 is 1899-12-29 06:00.
  double early = AddMilliseconds(-1.25, 500);
  EXPECT_LT(early, -1.25);
  EXPECT_NEAR(6 * 3600000.0 + 500, MillisecondsOfDay(early), 1e-3);
  EXPECT_EQ(-1.0, std::trunc(early));  // still the same day
  // 1601-01-01 (the first FILETIME), 23:59:59.999.
  double first = AddMilliseconds(-109205.0 - (86399.0 / 86400.0), 999);
  EXPECT_NEAR(86399999.0, MillisecondsOfDay(first), 1e-2);
}

}  // namespace
}  // namespace veltrane
