// The tag editor's browser over the automation wrapper's OPCBrowser object.
#pragma once
#include <windows.h>

#include <OPCAutomation.h>

#include "BrowserTree.h"
#include "common/ComPtr.h"

class AutomationBrowser : public ITagBrowser {
 public:
  explicit AutomationBrowser(common::ComPtr<OPCBrowser> browser) : b_(std::move(browser)) {}

  long Organization() override;
  void SetFilter(const std::string& filter) override;
  void SetDataType(long variantType) override;
  void SetAccessRights(long rights) override;
  void ShowBranches() override;
  void ShowLeafs() override;
  void ShowLeafs(bool flat) override;
  std::vector<std::string> Names() override;
  void MoveToRoot() override;
  void MoveDown(const std::string& branch) override;
  std::string GetItemID(const std::string& leaf) override;

 private:
  common::ComPtr<OPCBrowser> b_;
};
