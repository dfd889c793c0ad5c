// Bstr: the one owner of a BSTR. Lengths are SysStringLen's, so embedded NULs are kept.
#pragma once

#include "common/Strings.h"

#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace common {

class Bstr {
 public:
  Bstr() noexcept = default;
  // Copies of the text; std::bad_alloc when the system is out of memory.
  explicit Bstr(WStringView text) { Assign(text); }
  explicit Bstr(const OLECHAR* text) {
    if (text) Assign(WStringView(AsWChar(text), OleLength(text)));
  }
  Bstr(const OLECHAR* text, UINT length) {
    if (text) Assign(WStringView(AsWChar(text), length));
  }
  static Bstr FromUtf8(std::string_view utf8) { return Bstr(Utf8ToWide(utf8)); }
  static Bstr FromAnsi(std::string_view ansi) { return Bstr(AnsiToWide(ansi)); }
  // A copy of an existing BSTR, embedded NULs included (null stays null).
  static Bstr Copy(BSTR b) {
    Bstr r;
    if (b) r.Assign(WStringView(AsWChar(b), SysStringLen(b)));
    return r;
  }
  // Adopts a BSTR the caller owns.
  static Bstr Adopt(BSTR b) noexcept {
    Bstr r;
    r.b_ = b;
    return r;
  }

  Bstr(const Bstr& o) : Bstr(Copy(o.b_)) {}
  Bstr(Bstr&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
  Bstr& operator=(const Bstr& o) {
    if (this != &o) Bstr(o).Swap(*this);
    return *this;
  }
  Bstr& operator=(Bstr&& o) noexcept {
    Bstr(std::move(o)).Swap(*this);
    return *this;
  }
  ~Bstr() { Reset(); }

  BSTR Get() const noexcept { return b_; }
  // Never null: a null BSTR reads as the empty string.
  const OLECHAR* c_str() const noexcept { return b_ ? b_ : reinterpret_cast<const OLECHAR*>(L""); }
  // Characters, counting embedded NULs (SysStringLen; 0 for null).
  UINT Length() const noexcept { return SysStringLen(b_); }
  bool Empty() const noexcept { return Length() == 0; }
  bool IsNull() const noexcept { return b_ == nullptr; }

  WString ToWide() const { return WString(AsWChar(b_), Length()); }
  std::string ToUtf8() const { return WideToUtf8(WStringView(AsWChar(b_), Length())); }
  std::string ToAnsi() const { return WideToAnsi(WStringView(AsWChar(b_), Length())); }
  WStringView View() const noexcept { return WStringView(AsWChar(b_), Length()); }

  void Reset() noexcept {
    if (BSTR b = std::exchange(b_, nullptr)) SysFreeString(b);
  }
  void Attach(BSTR b) noexcept {
    Reset();
    b_ = b;
  }
  [[nodiscard]] BSTR Detach() noexcept { return std::exchange(b_, nullptr); }
  // For [out] BSTR* parameters: frees what is held, returns the empty slot.
  BSTR* ReleaseAndGetAddressOf() noexcept {
    Reset();
    return &b_;
  }
  // Hands a fresh copy to an [out] BSTR* (E_POINTER, E_OUTOFMEMORY as COM expects).
  HRESULT CopyTo(BSTR* out) const noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!b_) return S_OK;
    *out = SysAllocStringLen(b_, Length());
    return *out ? S_OK : E_OUTOFMEMORY;
  }
  void Swap(Bstr& o) noexcept { std::swap(b_, o.b_); }

  friend bool operator==(const Bstr& a, const Bstr& b) noexcept { return a.View() == b.View(); }
  friend bool operator==(const Bstr& a, WStringView b) noexcept { return a.View() == b; }

 private:
  void Assign(WStringView text) {
    BSTR b = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                               static_cast<UINT>(text.size()));
    if (!b) throw std::bad_alloc();
    Attach(b);
  }
  BSTR b_ = nullptr;
};

}  // namespace common
