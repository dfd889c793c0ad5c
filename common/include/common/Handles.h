// RAII for kernel handles, registry keys and global memory.
#pragma once

#include "common/Strings.h"

#include <optional>
#include <utility>
#include <vector>

namespace common {

// A kernel HANDLE. Both NULL and INVALID_HANDLE_VALUE mean "no handle" (CreateFile returns the
// one, most other calls the other); neither is ever closed.
class Handle {
 public:
  Handle() noexcept = default;
  explicit Handle(HANDLE h) noexcept : h_(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  Handle& operator=(Handle&& o) noexcept {
    if (this != &o) Reset(std::exchange(o.h_, nullptr));
    return *this;
  }
  ~Handle() { Reset(); }

  static bool IsValid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  bool Valid() const noexcept { return IsValid(h_); }
  explicit operator bool() const noexcept { return Valid(); }
  HANDLE Get() const noexcept { return h_; }
  void Reset(HANDLE h = nullptr) noexcept {
    HANDLE old = std::exchange(h_, h);
    if (IsValid(old)) CloseHandle(old);
  }
  [[nodiscard]] HANDLE Detach() noexcept { return std::exchange(h_, nullptr); }
  HANDLE* ReleaseAndGetAddressOf() noexcept {
    Reset();
    return &h_;
  }

 private:
  HANDLE h_ = nullptr;
};

// A registry key. Predefined roots (HKEY_CLASSES_ROOT ...) may be held and are never closed.
// Every call returns the Win32 status (ERROR_SUCCESS ...), as the registry API does.
class RegKey {
 public:
  RegKey() noexcept = default;
  explicit RegKey(HKEY k) noexcept : k_(k) {}
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  RegKey(RegKey&& o) noexcept : k_(std::exchange(o.k_, nullptr)) {}
  RegKey& operator=(RegKey&& o) noexcept {
    if (this != &o) Reset(std::exchange(o.k_, nullptr));
    return *this;
  }
  ~RegKey() { Reset(); }

  HKEY Get() const noexcept { return k_; }
  explicit operator bool() const noexcept { return k_ != nullptr; }
  void Reset(HKEY k = nullptr) noexcept {
    HKEY old = std::exchange(k_, k);
    if (old && !IsPredefined(old)) RegCloseKey(old);
  }
  [[nodiscard]] HKEY Detach() noexcept { return std::exchange(k_, nullptr); }

  // Opens parent\subKey (subKey may contain backslashes).
  LSTATUS Open(HKEY parent, const OLECHAR* subKey, REGSAM access = KEY_READ) noexcept {
    HKEY k = nullptr;
    LSTATUS s = RegOpenKeyExW(parent, subKey, 0, access, &k);
    Reset(s == ERROR_SUCCESS ? k : nullptr);
    return s;
  }
  // Creates (or opens) parent\subKey, with every missing key on the way.
  LSTATUS Create(HKEY parent, const OLECHAR* subKey, REGSAM access = KEY_READ | KEY_WRITE) noexcept {
    HKEY k = nullptr;
    LSTATUS s = RegCreateKeyExW(parent, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                nullptr, &k, nullptr);
    Reset(s == ERROR_SUCCESS ? k : nullptr);
    return s;
  }

  // REG_SZ value; name nullptr (or L"") is the key's default value.
  LSTATUS SetString(const OLECHAR* name, const OLECHAR* value) noexcept {
    DWORD bytes = static_cast<DWORD>((OleLength(value) + 1) * sizeof(OLECHAR));
    return RegSetValueExW(k_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value ? value : L""),
                          bytes);
  }
  LSTATUS SetString(const OLECHAR* name, const WString& value) noexcept {
    return SetString(name, Ole(value));
  }
  LSTATUS SetDword(const OLECHAR* name, DWORD value) noexcept {
    return RegSetValueExW(k_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
  }
  // REG_SZ / REG_EXPAND_SZ (not expanded); nullopt when absent or of another type.
  std::optional<WString> GetString(const OLECHAR* name) const {
    DWORD type = 0, bytes = 0;
    if (RegQueryValueExW(k_, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return {};
    if (type != REG_SZ && type != REG_EXPAND_SZ) return {};
    std::vector<BYTE> buf(bytes + sizeof(OLECHAR));
    DWORD got = bytes;
    if (RegQueryValueExW(k_, name, nullptr, &type, buf.data(), &got) != ERROR_SUCCESS) return {};
    // The stored value may or may not carry its terminating NUL: trust the size, not the NUL.
    size_t chars = got / sizeof(OLECHAR);
    auto p = reinterpret_cast<const OLECHAR*>(buf.data());
    while (chars > 0 && p[chars - 1] == 0) --chars;
    return FromOle(p, chars);
  }
  std::optional<DWORD> GetDword(const OLECHAR* name) const noexcept {
    DWORD type = 0, value = 0, bytes = sizeof value;
    if (RegQueryValueExW(k_, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
      return {};
    return value;
  }
  // Names of the direct subkeys.
  std::vector<WString> SubKeyNames() const {
    std::vector<WString> names;
    for (DWORD i = 0;; ++i) {
      OLECHAR name[256];
      DWORD len = 256;
      LSTATUS s = RegEnumKeyExW(k_, i, name, &len, nullptr, nullptr, nullptr, nullptr);
      if (s != ERROR_SUCCESS) break;
      names.push_back(FromOle(name, len));
    }
    return names;
  }

  // Deletes parent\subKey with everything under it. A key that is not there is success.
  static LSTATUS DeleteTree(HKEY parent, const OLECHAR* subKey) noexcept {
    RegKey k;
    LSTATUS s = k.Open(parent, subKey, KEY_READ | KEY_WRITE | DELETE);
    if (s == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (s != ERROR_SUCCESS) return s;
    s = RegDeleteTreeW(k.Get(), nullptr);
    k.Reset();
    if (s != ERROR_SUCCESS && s != ERROR_FILE_NOT_FOUND) return s;
    s = RegDeleteKeyW(parent, subKey);
    return s == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : s;
  }
  // Whether parent\subKey exists.
  static bool Exists(HKEY parent, const OLECHAR* subKey) noexcept {
    RegKey k;
    return k.Open(parent, subKey, KEY_READ) == ERROR_SUCCESS;
  }

 private:
  static bool IsPredefined(HKEY k) noexcept {
    return k == HKEY_CLASSES_ROOT || k == HKEY_CURRENT_USER || k == HKEY_LOCAL_MACHINE ||
           k == HKEY_USERS || k == HKEY_PERFORMANCE_DATA || k == HKEY_CURRENT_CONFIG ||
           k == HKEY_DYN_DATA;
  }
  HKEY k_ = nullptr;
};

// An HGLOBAL (GlobalFree on destruction unless detached, e.g. after handing it to DDE or to a
// STGMEDIUM that now owns it).
class GlobalMem {
 public:
  GlobalMem() noexcept = default;
  explicit GlobalMem(HGLOBAL h) noexcept : h_(h) {}
  GlobalMem(const GlobalMem&) = delete;
  GlobalMem& operator=(const GlobalMem&) = delete;
  GlobalMem(GlobalMem&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  GlobalMem& operator=(GlobalMem&& o) noexcept {
    if (this != &o) Reset(std::exchange(o.h_, nullptr));
    return *this;
  }
  ~GlobalMem() { Reset(); }

  // GMEM_MOVEABLE block of `bytes`; false when the allocation fails.
  bool Allocate(SIZE_T bytes, UINT flags = GMEM_MOVEABLE) noexcept {
    Reset(GlobalAlloc(flags, bytes));
    return h_ != nullptr;
  }
  HGLOBAL Get() const noexcept { return h_; }
  explicit operator bool() const noexcept { return h_ != nullptr; }
  SIZE_T Size() const noexcept { return h_ ? GlobalSize(h_) : 0; }
  void Reset(HGLOBAL h = nullptr) noexcept {
    HGLOBAL old = std::exchange(h_, h);
    if (old) GlobalFree(old);
  }
  [[nodiscard]] HGLOBAL Detach() noexcept { return std::exchange(h_, nullptr); }

  // Scoped GlobalLock. data() is null when the lock failed (or the handle is null); size() is
  // the block's size, which may exceed what was asked for.
  class Lock {
   public:
    explicit Lock(HGLOBAL h) noexcept : h_(h), p_(h ? GlobalLock(h) : nullptr), size_(h ? GlobalSize(h) : 0) {}
    explicit Lock(const GlobalMem& m) noexcept : Lock(m.Get()) {}
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock() {
      if (p_) GlobalUnlock(h_);
    }
    void* data() const noexcept { return p_; }
    template <class T>
    T* as() const noexcept { return static_cast<T*>(p_); }
    SIZE_T size() const noexcept { return p_ ? size_ : 0; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

   private:
    HGLOBAL h_;
    void* p_;
    SIZE_T size_;
  };

 private:
  HGLOBAL h_ = nullptr;
};

}  // namespace common
