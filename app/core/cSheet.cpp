#include "cSheet.h"

bool cSheet::AddTag(const std::string& strItem, const std::string& strOpcTag) {
  try {
    entries_.push_back(ItemTagXRef{strItem, strOpcTag});
  } catch (...) {
    return false;
  }
  ++numTags_;
  return true;
}

void cSheet::Unpack() {
  try {
    std::size_t n = numTags_ > 0 ? static_cast<std::size_t>(numTags_) : 1;
    std::vector<std::string> items(n), tags(n);
    for (std::size_t i = 0; i < entries_.size() && i < n; ++i) {
      items[i] = entries_[i].ItemName;
      tags[i] = entries_[i].OpcTag;
    }
    itemNames_.swap(items);
    tagNames_.swap(tags);
  } catch (...) {
  }
}

std::string cSheet::OpcTag(long nIndex) const {
  if (nIndex < 0 || nIndex >= numTags_ || nIndex >= static_cast<long>(tagNames_.size()))
    return std::string();
  return tagNames_[static_cast<std::size_t>(nIndex)];
}

std::string cSheet::ItemName(long nIndex) const {
  if (nIndex < 0 || nIndex >= numTags_ || nIndex >= static_cast<long>(itemNames_.size()))
    return std::string();
  return itemNames_[static_cast<std::size_t>(nIndex)];
}
