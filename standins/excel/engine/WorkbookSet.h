// The open workbooks of one spreadsheet process and what the application holds for all of them
// (calculation mode). The automation objects, the DDE service and the window observe it.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "Workbook.h"

namespace wbs {

class WorkbookObserver {
 public:
  virtual ~WorkbookObserver() = default;
  virtual void CellsChanged(Workbook&, const std::vector<CellChange>&) {}
  virtual void WorkbookOpened(Workbook&) {}
  virtual void WorkbookClosing(Workbook&) {}
};

class WorkbookSet {
 public:
  WorkbookSet() = default;
  WorkbookSet(const WorkbookSet&) = delete;
  WorkbookSet& operator=(const WorkbookSet&) = delete;

  // Opens a file, or returns the workbook already open under that path (any case).
  // `fullName` is the name shown to users (FullName); empty means the path itself.
  Workbook* Open(const std::string& path, const std::string& fullName, bool readOnly, std::string& error);
  // Adds a workbook made elsewhere (a new one, or one built by a test).
  Workbook* Adopt(std::unique_ptr<Workbook> wb);

  int Count() const { return static_cast<int>(books_.size()); }
  Workbook* At(int index) const;  // 0-based; null when out of range
  Workbook* Find(std::string_view nameOrFullName) const;
  int IndexOf(const Workbook* wb) const;  // -1 when not open
  Workbook* Active() const { return books_.empty() ? nullptr : active_; }
  void Activate(Workbook* wb);

  // Observers are told first, then the workbook is destroyed.
  void Close(Workbook* wb);
  void CloseAll();

  // A worksheet by DDE topic: "Sheet1" (first open workbook that has it) or "[Book1.xlsx]Sheet1".
  bool FindTopic(std::string_view topic, Workbook*& wb, int& sheet) const;

  Calculation GetCalculation() const { return calc_; }
  void SetCalculation(Calculation c);
  void Calculate();

  // By plain name (searched in every open workbook) or "Book.xlsx!Name".
  bool RunMacro(std::string_view name, std::string& error);

  void AddObserver(WorkbookObserver* o);
  void RemoveObserver(WorkbookObserver* o);

 private:
  void Wire(Workbook* wb);
  std::vector<std::unique_ptr<Workbook>> books_;
  std::vector<WorkbookObserver*> observers_;
  Workbook* active_ = nullptr;
  Calculation calc_ = Calculation::Automatic;
};

}  // namespace wbs
