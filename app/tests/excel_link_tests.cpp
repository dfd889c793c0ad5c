// Obtaining Excel, opening the workbook and what is closed at exit, against a fake Excel.
#include <gtest/gtest.h>

#include <memory>

#include "ExcelLink.h"

namespace {

struct ExcelState {
  std::vector<std::string> books;  // full names, in Workbooks order
  std::vector<std::string> calls;
  bool displayAlerts = true;
  bool visible = false;
  bool quit = false;
  bool openFails = false;
};

class FakeExcelApp : public IExcelApplication {
 public:
  explicit FakeExcelApp(std::shared_ptr<ExcelState> s) : s_(std::move(s)) {}
  bool SetVisible(bool v) override {
    s_->visible = v;
    s_->calls.push_back(v ? "Visible=True" : "Visible=False");
    return true;
  }
  std::optional<long> WorkbookCount() override { return static_cast<long>(s_->books.size()); }
  std::optional<std::string> WorkbookFullName(long i) override {
    if (i < 1 || i > static_cast<long>(s_->books.size())) return std::nullopt;
    return s_->books[static_cast<std::size_t>(i - 1)];
  }
  bool OpenWorkbook(const std::string& path, bool readOnly) override {
    s_->calls.push_back("Open " + path + (readOnly ? " ReadOnly:=True" : ""));
    if (s_->openFails) return false;
    s_->books.push_back(path);
    return true;
  }
  bool CloseWorkbook(long i) override {
    s_->calls.push_back("Close " + s_->books[static_cast<std::size_t>(i - 1)] +
                        (s_->displayAlerts ? " alerts" : " quietly"));
    s_->books.erase(s_->books.begin() + (i - 1));
    return true;
  }
  std::optional<long> GetCalculation() override { return -4105; }
  bool SetCalculation(long) override { return true; }
  std::optional<bool> GetDisplayAlerts() override { return s_->displayAlerts; }
  bool SetDisplayAlerts(bool on) override {
    s_->displayAlerts = on;
    return true;
  }
  bool Run(const std::string&) override { return true; }
  bool Quit() override {
    s_->calls.push_back(s_->displayAlerts ? "Quit asking" : "Quit quietly");
    s_->quit = true;
    return true;
  }

 private:
  std::shared_ptr<ExcelState> s_;
};

class FakeConnector : public IExcelConnector {
 public:
  std::shared_ptr<ExcelState> running;  // null: no Excel is running
  std::shared_ptr<ExcelState> created;
  std::unique_ptr<IExcelApplication> CreateNew() override {
    created = std::make_shared<ExcelState>();
    return std::make_unique<FakeExcelApp>(created);
  }
  std::unique_ptr<IExcelApplication> GetRunning() override {
    if (!running) return nullptr;
    return std::make_unique<FakeExcelApp>(running);
  }
};

const std::string kBook = "C:\\Plant\\Line.xlsx";

}  // namespace

TEST(ExcelLinkTest, ANewInstanceOpensTheWorkbookReadOnlyUnlessWritableAndQuitsAtExit) {
  for (bool writable : {false, true}) {
    FakeConnector c;
    ExcelLink x(c);
    x.ObtainExcel(true, true, kBook);
    ASSERT_TRUE(c.created);
    EXPECT_FALSE(x.gExcelAttached);
    EXPECT_FALSE(x.WorkbookWasOpen);
    EXPECT_EQ(x.WorkbookIndex, -1);
    x.OpenWorkbookIfNotOpen(kBook, writable);
    EXPECT_EQ(x.WorkbookIndex, 1);
    x.ShutdownExcel();
    EXPECT_FALSE(x.HasExcel());
    EXPECT_EQ(c.created->calls,
              (std::vector<std::string>{"Visible=True",
                                        writable ? "Open " + kBook : "Open " + kBook + " ReadOnly:=True",
                                        "Quit quietly"}));
  }
}

TEST(ExcelLinkTest, AttachedWithTheWorkbookOpenLeavesItAlone) {
  FakeConnector c;
  c.running = std::make_shared<ExcelState>();
  c.running->books = {"C:\\other.xlsx", "c:\\plant\\LINE.XLSX", "C:\\third.xlsx"};
  ExcelLink x(c);
  x.ObtainExcel(false, true, kBook);
  EXPECT_FALSE(c.created);
  EXPECT_TRUE(x.gExcelAttached);
  EXPECT_TRUE(x.WorkbookWasOpen);
  EXPECT_EQ(x.WorkbookIndex, 2);  // its own position, whatever follows it
  x.OpenWorkbookIfNotOpen(kBook, true);
  x.ShutdownExcel();
  EXPECT_TRUE(c.running->calls.empty());  // not made visible, not opened, not closed, no quit
  EXPECT_EQ(c.running->books.size(), 3u);
}

TEST(ExcelLinkTest, AttachedWithoutTheWorkbookClosesOnlyWhatItOpened) {
  FakeConnector c;
  c.running = std::make_shared<ExcelState>();
  c.running->books = {"C:\\a.xlsx", "C:\\b.xlsx"};
  ExcelLink x(c);
  x.ObtainExcel(false, false, kBook);
  EXPECT_TRUE(x.gExcelAttached);
  EXPECT_FALSE(x.WorkbookWasOpen);
  x.OpenWorkbookIfNotOpen(kBook, false);
  EXPECT_EQ(x.WorkbookIndex, 3);
  c.running->books.erase(c.running->books.begin());  // the user closed another one meanwhile
  EXPECT_EQ(x.FindWorkbookIndex(), 2);
  x.ShutdownExcel();
  EXPECT_EQ(c.running->calls, (std::vector<std::string>{"Open " + kBook + " ReadOnly:=True",
                                                        "Close " + kBook + " quietly"}));
  EXPECT_TRUE(c.running->displayAlerts);  // restored
  EXPECT_FALSE(c.running->quit);
  EXPECT_EQ(c.running->books, (std::vector<std::string>{"C:\\b.xlsx"}));
}

TEST(ExcelLinkTest, AttachWithNoExcelRunningStartsOneAndTreatsItAsStarted) {
  FakeConnector c;
  ExcelLink x(c);
  x.ObtainExcel(false, false, kBook);
  ASSERT_TRUE(c.created);
  EXPECT_FALSE(x.gExcelAttached);
  EXPECT_FALSE(c.created->visible);
  c.created->openFails = true;
  x.OpenWorkbookIfNotOpen(kBook, true);
  EXPECT_EQ(x.WorkbookIndex, -1);  // not reported, nothing found
  x.ShutdownExcel();
  EXPECT_TRUE(c.created->quit);
}
