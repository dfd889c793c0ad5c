#include <gtest/gtest.h>

#include "CellText.h"
#include "MacroFile.h"

using namespace wbs;

TEST(CellText, GeneralFormatShowsNumbersAsTheSpreadsheetDoes) {
  EXPECT_EQ(GeneralNumberText(0), "0");
  EXPECT_EQ(GeneralNumberText(42), "42");
  EXPECT_EQ(GeneralNumberText(-3.5), "-3.5");
  EXPECT_EQ(GeneralNumberText(0.1 + 0.2), "0.3");  // 15 significant digits hide binary noise
  EXPECT_EQ(GeneralNumberText(1.0 / 3.0), "0.333333333333333");
  EXPECT_EQ(GeneralNumberText(123456789012345.0), "123456789012345");
  EXPECT_EQ(GeneralNumberText(1e20), "1E+20");
  EXPECT_EQ(GeneralNumberText(1.5e-12), "1.5E-12");
  EXPECT_EQ(GeneralNumberText(-2.25e40), "-2.25E+40");
  EXPECT_EQ(GeneralNumberText(0.001), "0.001");
}

TEST(CellText, DatesUseTheDefaultDateFormat) {
  EXPECT_EQ(DateText(45000), "3/15/2023");
  EXPECT_EQ(DateText(45000.5), "3/15/2023 12:00");
  EXPECT_EQ(DateText(45000.75 + 30.0 / 86400), "3/15/2023 18:00:30");
  EXPECT_EQ(DateText(1), "12/31/1899");
  EXPECT_EQ(DateText(2), "1/1/1900");
  // 23:59:59.9 rounds into the next day rather than showing 24:00.
  EXPECT_EQ(DateText(45000 + 0.9999999), "3/16/2023");
}

TEST(CellText, EntriesBecomeFormulasNumbersBooleansOrText) {
  EXPECT_EQ(ParseEntry("=A1*2").kind, Entry::Kind::Formula);
  EXPECT_EQ(ParseEntry("=A1*2").text, "A1*2");
  auto n = ParseEntry(" 12.5 ");
  EXPECT_EQ(n.kind, Entry::Kind::Number);
  EXPECT_DOUBLE_EQ(n.number, 12.5);
  EXPECT_DOUBLE_EQ(ParseEntry("50%").number, 0.5);
  EXPECT_DOUBLE_EQ(ParseEntry("-1e3").number, -1000);
  EXPECT_EQ(ParseEntry("true").kind, Entry::Kind::Boolean);
  EXPECT_TRUE(ParseEntry("TRUE").boolean);
  EXPECT_FALSE(ParseEntry("False").boolean);
  // Texts that strtod would take for numbers stay texts.
  for (const char* t : {"inf", "nan", "0x10", "1e", "1.2.3", "12abc", ".", "-"})
    EXPECT_EQ(ParseEntry(t).kind, Entry::Kind::Text) << t;
  auto q = ParseEntry("'123");
  EXPECT_EQ(q.kind, Entry::Kind::Text);
  EXPECT_EQ(q.text, "123");
  EXPECT_EQ(ParseEntry("").kind, Entry::Kind::Empty);
  EXPECT_EQ(ParseEntry("=").kind, Entry::Kind::Text);
}

TEST(CellText, CellNamesInBothNotations) {
  auto p = ParseR1C1("r12c3");
  ASSERT_TRUE(p);
  EXPECT_EQ(*p, (CellPos{11, 2}));
  EXPECT_EQ(ToA1(*p), "C12");
  EXPECT_EQ(ToR1C1(*p), "R12C3");
  EXPECT_TRUE(ParseR1C1("R1048576C16384"));
  for (const char* bad : {"R0C1", "R1C0", "R1048577C1", "R1C16385", "R1C1 ", "R1", "C1", "", "R-1C1",
                          "R99999999999999999999C1", "A1"})
    EXPECT_FALSE(ParseR1C1(bad)) << bad;
  EXPECT_EQ(*ParseA1("AZ10"), (CellPos{9, 51}));
  EXPECT_EQ(*ParseA1("$b$2"), (CellPos{1, 1}));
  EXPECT_EQ(ColumnLetters(702), "AAA");
  EXPECT_EQ(ColumnLetters(16383), "XFD");
  EXPECT_FALSE(ParseA1("XFE1"));
  EXPECT_FALSE(ParseA1("A0"));
  EXPECT_FALSE(ParseA1("1A"));
}

TEST(MacroFile, ParsesNamedAssignmentListsAndReportsBadLines) {
  auto r = ParseMacroFile(
      "# counters\n"
      "[Increment]\n"
      "Sheet1!B2 = Sheet1!B2 + 1\r\n"
      "C1 = SUM(A1:A3)\n"
      "'My Sheet'!A1 = \"x\"\n"
      "nonsense\n"
      "[Reset]\n"
      "B2 = 0\n"
      "[increment]\n"
      "B2 = 100\n"
      "Q0 = 1\n");
  ASSERT_EQ(r.macros.size(), 2u);
  EXPECT_EQ(r.macros[0].name, "Increment");
  ASSERT_EQ(r.macros[0].steps.size(), 3u);
  EXPECT_EQ(r.macros[0].steps[0].sheet, "Sheet1");
  EXPECT_EQ(r.macros[0].steps[0].target, "B2");
  EXPECT_EQ(r.macros[0].steps[0].expression, "Sheet1!B2 + 1");
  EXPECT_EQ(r.macros[0].steps[1].sheet, "");
  EXPECT_EQ(r.macros[0].steps[2].sheet, "My Sheet");
  EXPECT_EQ(r.macros[1].name, "Reset");
  // "nonsense", the duplicate header and the bad target of the dropped duplicate's body.
  ASSERT_EQ(r.errors.size(), 3u);
  EXPECT_NE(r.errors[0].find("line 6"), std::string::npos);
  EXPECT_NE(r.errors[1].find("defined twice"), std::string::npos);
  EXPECT_EQ(MacroNameOf("'My Book.xlsx'!Increment"), "Increment");
  EXPECT_EQ(MacroNameOf(" Reset "), "Reset");
}
