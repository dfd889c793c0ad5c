// One tag's record for the program's own look-ups (served tags and client tags alike).
#pragma once
#include <string>

#include "TagValue.h"

class OpcIndex {
 public:
  std::string TagName;
  TagValue TagValue_;  // spare value slot
  std::string Server;
  std::string Sheet;  // lower-cased
  std::string Item;   // the cell reference as written (the DDE item name)
  int DataType = kVtSingle;
  std::string ConvKey;

  bool IsServerTag() const { return serverTag_; }
  bool IsClientTag() const { return !serverTag_; }
  void SetIsClientTag(bool client) { serverTag_ = !client; }

 private:
  bool serverTag_ = true;
};
