// The cells of one worksheet that the DDE link watches, in the order they were added.
#pragma once
#include <string>
#include <vector>

struct ItemTagXRef {
  std::string ItemName;  // the cell, used as the DDE item
  std::string OpcTag;    // the tag name
};

class cSheet {
 public:
  std::string SheetName;

  long NumTags() const { return numTags_; }
  bool AddTag(const std::string& strItem, const std::string& strOpcTag);
  // Copies the entries, in order, into the item-name and tag-name arrays.
  void Unpack();
  // Entry nIndex (0-based) of the unpacked arrays; "" outside 0..NumTags-1.
  std::string OpcTag(long nIndex) const;
  std::string ItemName(long nIndex) const;
  const std::vector<ItemTagXRef>& Entries() const { return entries_; }

 private:
  long numTags_ = 0;
  std::vector<ItemTagXRef> entries_;
  std::vector<std::string> itemNames_{std::string()};  // one empty element until unpacked
  std::vector<std::string> tagNames_{std::string()};
};
