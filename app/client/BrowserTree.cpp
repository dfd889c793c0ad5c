#include "BrowserTree.h"

#include <cstring>

namespace browsertree {

std::vector<std::string> PathOf(const std::string& key) {
  std::vector<std::string> parts;
  const std::size_t root = std::strlen(kRootKey);
  if (key.size() <= root) return parts;
  std::size_t start = root + 1;
  while (true) {
    std::size_t next = key.find(kSeparator, start);
    parts.push_back(key.substr(start, next == std::string::npos ? std::string::npos : next - start));
    if (next == std::string::npos) break;
    start = next + 1;
  }
  return parts;
}

void MoveToNodePath(ITagBrowser& browser, const std::string& key) {
  browser.MoveToRoot();
  for (const std::string& branch : PathOf(key)) browser.MoveDown(branch);
}

std::vector<std::string> BranchesOf(ITagBrowser& browser, const std::string& key) {
  MoveToNodePath(browser, key);
  browser.SetFilter("");
  browser.ShowBranches();
  return browser.Names();
}

std::vector<std::string> Leaves(ITagBrowser& browser, const std::string& filter, long dataType,
                                long access) {
  browser.SetFilter(filter);
  browser.SetDataType(dataType);
  browser.SetAccessRights(access);
  browser.ShowLeafs();
  return browser.Names();
}

}  // namespace browsertree
