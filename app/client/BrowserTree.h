// The tag editor's view of the client server's address space: the browser it walks (an
// interface, so the walking can be tested without a server) and the tree's node keys. A node's
// key spells its path: the root's key, then each branch name after the character with code 2.
// A node not yet expanded holds one placeholder child, so the tree shows it as expandable.
#pragma once
#include <string>
#include <vector>

// The browser's calls as the editor makes them; each throws BrowseError when the server refuses.
class ITagBrowser {
 public:
  virtual ~ITagBrowser() = default;
  virtual long Organization() = 0;  // 1 hierarchical, 2 flat
  virtual void SetFilter(const std::string& filter) = 0;
  virtual void SetDataType(long variantType) = 0;
  virtual void SetAccessRights(long rights) = 0;
  virtual void ShowBranches() = 0;
  virtual void ShowLeafs() = 0;                // from the current position
  virtual void ShowLeafs(bool flat) = 0;
  virtual std::vector<std::string> Names() = 0;  // Item(1) .. Item(Count) of the last listing
  virtual void MoveToRoot() = 0;
  virtual void MoveDown(const std::string& branch) = 0;
  virtual std::string GetItemID(const std::string& leaf) = 0;
};

struct BrowseError {
  std::string step;  // the browser call that failed
  long code;         // its HRESULT
};

namespace browsertree {

constexpr const char* kRootKey = "Server1";
constexpr char kSeparator = '\x02';
constexpr const char* kPlaceholderMarker = "_Placeholder";
constexpr long kFlat = 2;

inline std::string ChildKey(const std::string& parent, const std::string& name) {
  return parent + kSeparator + name;
}
inline bool IsPlaceholder(const std::string& key) {
  return key.find(kPlaceholderMarker) != std::string::npos;
}
// The branch names from the root to the node, in order; none for the root (or a shorter key).
std::vector<std::string> PathOf(const std::string& key);
// MoveToRoot, then MoveDown through each branch of the key's path.
void MoveToNodePath(ITagBrowser& browser, const std::string& key);
// The branches below the node: its path, an empty filter, ShowBranches.
std::vector<std::string> BranchesOf(ITagBrowser& browser, const std::string& key);
// The leaves at the browser's current position that pass the three filters.
std::vector<std::string> Leaves(ITagBrowser& browser, const std::string& filter, long dataType,
                                long access);

}  // namespace browsertree
