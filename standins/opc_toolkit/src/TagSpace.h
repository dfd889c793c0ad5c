// The served tags: the host fills and updates them; groups read them and watch their versions.
#pragma once

#include <opc_toolkit/ServerToolkit.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace opc_toolkit {

class ServedTag : public IServedTag {
 public:
  ServedTag(std::wstring name, long rights, const VARIANT& value, short quality, DATE ts);
  ~ServedTag() override;
  HRESULT UpdateValue(const VARIANT* valueOrNull, short quality, DATE timeStamp) override;
  const std::wstring& Name() const override { return name_; }
  long AccessRights() const override { return rights_; }
  VARTYPE DataType() const override { return type_; }
  HRESULT Read(VARIANT* value, short* quality, DATE* timeStamp) const override;

  // An engineering-unit range makes the tag analog: percent deadbands then apply to it.
  HRESULT SetEURange(double low, double high) override;
  bool IsAnalog() const { return analog_; }
  double EULow() const { return euLow_; }
  double EUHigh() const { return euHigh_; }

  const VARIANT& Value() const { return value_; }
  WORD Quality() const { return quality_; }
  const FILETIME& TimeStamp() const { return time_; }
  // Grows by one on every update, so watchers see that something happened.
  unsigned long long Version() const { return version_; }

 private:
  std::wstring name_;
  long rights_;
  VARTYPE type_;
  VARIANT value_;
  WORD quality_;
  FILETIME time_;
  unsigned long long version_ = 1;
  bool analog_ = false;
  double euLow_ = 0, euHigh_ = 0;
};

class TagSpace : public IServedTags {
 public:
  HRESULT Add(const wchar_t* name, long accessRights, const VARIANT& initialValue, short quality,
              DATE timeStamp) override;
  IServedTag* Item(const wchar_t* name) override { return Find(name); }
  long Count() const override { return static_cast<long>(tags_.size()); }

  ServedTag* Find(const wchar_t* name) const;
  // Branch paths ("a", "a.b") of every tag name, lower-cased.
  bool IsBranch(const std::wstring& path) const;
  // Children of a branch ("" = root): sub-branch names and leaf names, in name order.
  std::vector<std::wstring> Branches(const std::wstring& path) const;
  std::vector<ServedTag*> Leaves(const std::wstring& path) const;
  // Every tag at or below a branch.
  std::vector<ServedTag*> Below(const std::wstring& path) const;

 private:
  std::map<std::wstring, std::unique_ptr<ServedTag>> tags_;  // by lower-cased name
  std::set<std::wstring> branches_;                          // lower-cased paths
};

// True when the name is usable as an item ID: not empty, no control characters, no empty
// branch ("a..b", ".a", "a.").
bool ValidItemName(const wchar_t* name);

}  // namespace opc_toolkit
