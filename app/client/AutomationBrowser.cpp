#include "AutomationBrowser.h"

#include "common/Bstr.h"
#include "common/Strings.h"
#include "common/Variant.h"

namespace {

void Check(HRESULT hr, const char* step) {
  if (FAILED(hr)) throw BrowseError{step, static_cast<long>(hr)};
}

std::string Text(BSTR b) { return common::WideToAnsi(common::FromOle(b)); }

}  // namespace

long AutomationBrowser::Organization() {
  LONG org = 0;
  Check(b_->get_Organization(&org), "Organization");
  return org;
}

void AutomationBrowser::SetFilter(const std::string& filter) {
  common::Bstr f = common::Bstr::FromAnsi(filter);
  Check(b_->put_Filter(f.Get()), "Filter");
}

void AutomationBrowser::SetDataType(long variantType) {
  Check(b_->put_DataType(static_cast<SHORT>(variantType)), "DataType");
}

void AutomationBrowser::SetAccessRights(long rights) {
  Check(b_->put_AccessRights(rights), "AccessRights");
}

void AutomationBrowser::ShowBranches() { Check(b_->ShowBranches(), "ShowBranches"); }

void AutomationBrowser::ShowLeafs() {
  Check(b_->ShowLeafs(common::Variant::Missing()), "ShowLeafs");
}

void AutomationBrowser::ShowLeafs(bool flat) {
  Check(b_->ShowLeafs(common::Variant(flat)), "ShowLeafs");
}

std::vector<std::string> AutomationBrowser::Names() {
  LONG count = 0;
  Check(b_->get_Count(&count), "Count");
  std::vector<std::string> names;
  names.reserve(count > 0 ? static_cast<std::size_t>(count) : 0);
  for (LONG i = 1; i <= count; ++i) {
    BSTR name = nullptr;
    Check(b_->Item(common::Variant(static_cast<int>(i)), &name), "Item");
    names.push_back(Text(name));
    SysFreeString(name);
  }
  return names;
}

void AutomationBrowser::MoveToRoot() { Check(b_->MoveToRoot(), "MoveToRoot"); }

void AutomationBrowser::MoveDown(const std::string& branch) {
  common::Bstr b = common::Bstr::FromAnsi(branch);
  Check(b_->MoveDown(b.Get()), "MoveDown");
}

std::string AutomationBrowser::GetItemID(const std::string& leaf) {
  common::Bstr l = common::Bstr::FromAnsi(leaf);
  BSTR id = nullptr;
  Check(b_->GetItemID(l.Get(), &id), "GetItemID");
  std::string r = Text(id);
  SysFreeString(id);
  return r;
}
