#include "WorkbookSet.h"

#include <algorithm>

namespace wbs {

Workbook* WorkbookSet::Open(const std::string& path, const std::string& fullName, bool readOnly,
                            std::string& error) {
  for (const auto& b : books_)
    if (SameName(b->Path(), path)) {
      active_ = b.get();
      return b.get();
    }
  std::unique_ptr<Workbook> wb = Workbook::Open(path, readOnly, error);
  if (!wb) return nullptr;
  if (!fullName.empty()) wb->SetFullName(fullName);
  return Adopt(std::move(wb));
}

Workbook* WorkbookSet::Adopt(std::unique_ptr<Workbook> wb) {
  Workbook* p = wb.get();
  books_.push_back(std::move(wb));
  Wire(p);
  // The application's mode holds for every workbook; one opened in manual mode waits too.
  p->SetCalculation(calc_);
  active_ = p;
  for (auto* o : std::vector<WorkbookObserver*>(observers_)) o->WorkbookOpened(*p);
  return p;
}

void WorkbookSet::Wire(Workbook* wb) {
  wb->onChanged = [this](Workbook& w, const std::vector<CellChange>& c) {
    for (auto* o : std::vector<WorkbookObserver*>(observers_)) o->CellsChanged(w, c);
  };
}

Workbook* WorkbookSet::At(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return books_[index].get();
}

Workbook* WorkbookSet::Find(std::string_view name) const {
  for (const auto& b : books_)
    if (SameName(b->Name(), name) || SameName(b->FullName(), name)) return b.get();
  return nullptr;
}

int WorkbookSet::IndexOf(const Workbook* wb) const {
  for (int i = 0; i < Count(); ++i)
    if (books_[i].get() == wb) return i;
  return -1;
}

void WorkbookSet::Activate(Workbook* wb) {
  if (IndexOf(wb) >= 0) active_ = wb;
}

void WorkbookSet::Close(Workbook* wb) {
  const int i = IndexOf(wb);
  if (i < 0) return;
  for (auto* o : std::vector<WorkbookObserver*>(observers_)) o->WorkbookClosing(*wb);
  std::unique_ptr<Workbook> gone = std::move(books_[i]);
  books_.erase(books_.begin() + i);
  if (active_ == wb) active_ = books_.empty() ? nullptr : books_.back().get();
}

void WorkbookSet::CloseAll() {
  while (!books_.empty()) Close(books_.back().get());
}

bool WorkbookSet::FindTopic(std::string_view topic, Workbook*& wb, int& sheet) const {
  if (!topic.empty() && topic[0] == '[') {
    const size_t close = topic.find(']');
    if (close == std::string_view::npos) return false;
    Workbook* b = Find(topic.substr(1, close - 1));
    if (!b) return false;
    const int s = b->FindSheet(topic.substr(close + 1));
    if (s < 0) return false;
    wb = b;
    sheet = s;
    return true;
  }
  for (const auto& b : books_) {
    const int s = b->FindSheet(topic);
    if (s >= 0) {
      wb = b.get();
      sheet = s;
      return true;
    }
  }
  return false;
}

void WorkbookSet::SetCalculation(Calculation c) {
  calc_ = c;
  // An observer may close a workbook while another recalculates: walk a copy.
  std::vector<Workbook*> v;
  for (auto& b : books_) v.push_back(b.get());
  for (auto* b : v)
    if (IndexOf(b) >= 0) b->SetCalculation(c);
}

void WorkbookSet::Calculate() {
  std::vector<Workbook*> v;
  for (auto& b : books_) v.push_back(b.get());
  for (auto* b : v)
    if (IndexOf(b) >= 0) b->Calculate();
}

bool WorkbookSet::RunMacro(std::string_view name, std::string& error) {
  std::string_view s = name;
  const size_t bang = s.rfind('!');
  if (bang != std::string_view::npos) {
    std::string book = Trim(s.substr(0, bang));
    if (book.size() >= 2 && book.front() == '\'' && book.back() == '\'') book = book.substr(1, book.size() - 2);
    Workbook* b = Find(book);
    if (!b) {
      error = "The macro '" + std::string(name) + "' cannot be found: workbook '" + book + "' is not open.";
      return false;
    }
    return b->RunMacro(s.substr(bang + 1), error);
  }
  for (const auto& b : books_)
    if (b->HasMacro(name)) return b->RunMacro(name, error);
  error = "The macro '" + Trim(name) + "' cannot be found.";
  return false;
}

void WorkbookSet::AddObserver(WorkbookObserver* o) {
  if (std::find(observers_.begin(), observers_.end(), o) == observers_.end()) observers_.push_back(o);
}

void WorkbookSet::RemoveObserver(WorkbookObserver* o) {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), o), observers_.end());
}

}  // namespace wbs
