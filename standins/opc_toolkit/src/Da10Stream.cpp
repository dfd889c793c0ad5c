#include "Da10Stream.h"

#include <cstring>

namespace opc_toolkit {
namespace {

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Append32(std::vector<uint8_t>& b, uint32_t v) {
  b.resize(b.size() + 4);
  Put32(b, b.size() - 4, v);
}

bool IsScalar(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I1: case VT_UI1: case VT_I2: case VT_UI2:
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_I8: case VT_UI8:
    case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_BOOL: case VT_ERROR:
      return true;
    default:
      return false;
  }
}

// Appends one value; returns its offset.
size_t AppendValue(std::vector<uint8_t>& b, const VARIANT* v) {
  size_t at = b.size();
  b.resize(at + kWireVariantSize, 0);
  VARTYPE vt = v ? V_VT(v) : VT_EMPTY;
  if (vt == VT_BSTR) {
    Put16(b, at, VT_BSTR);
    BSTR s = V_BSTR(v);
    uint32_t bytes = s ? SysStringByteLen(s) : 0;
    Append32(b, bytes);
    size_t chars = b.size();
    b.resize(chars + bytes + 2, 0);
    if (bytes) memcpy(&b[chars], s, bytes);
    return at;
  }
  if (!IsScalar(vt)) vt = VT_EMPTY;
  Put16(b, at, vt);
  if (vt != VT_EMPTY && vt != VT_NULL) {
    // The 8 data bytes of the VARIANT union, little-endian as in memory.
    uint64_t raw = 0;
    memcpy(&raw, &v->llVal, sizeof raw);
    switch (vt) {
      case VT_I1: case VT_UI1: raw &= 0xff; break;
      case VT_I2: case VT_UI2: case VT_BOOL: raw &= 0xffff; break;
      case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR:
        raw &= 0xffffffffu;
        break;
      default: break;
    }
    for (int i = 0; i < 8; ++i) b[at + 8 + i] = static_cast<uint8_t>(raw >> (8 * i));
  }
  return at;
}

}  // namespace

std::vector<uint8_t> BuildDataStream(DWORD hClientGroup, DWORD transactionId, bool withTime,
                                     const std::vector<StreamItem>& items) {
  const size_t header = 20, itemHeader = withTime ? 20 : 12;
  std::vector<uint8_t> b(header + itemHeader * items.size(), 0);
  bool allGood = true;
  for (size_t i = 0; i < items.size(); ++i) {
    const StreamItem& it = items[i];
    size_t h = header + itemHeader * i;
    size_t offset = AppendValue(b, it.value);
    Put32(b, h, it.hClient);
    Put32(b, h + 4, static_cast<uint32_t>(offset));
    Put16(b, h + 8, it.quality);
    if (withTime) {
      Put32(b, h + 12, it.time.dwLowDateTime);
      Put32(b, h + 16, it.time.dwHighDateTime);
    }
    if ((it.quality & 0xC0) != 0xC0) allGood = false;
  }
  Put32(b, 0, static_cast<uint32_t>(b.size()));
  Put32(b, 4, static_cast<uint32_t>(items.size()));
  Put32(b, 8, hClientGroup);
  Put32(b, 12, transactionId);
  Put32(b, 16, static_cast<uint32_t>(allGood ? S_OK : S_FALSE));
  return b;
}

std::vector<uint8_t> BuildWriteCompleteStream(DWORD hClientGroup, DWORD transactionId,
                                              const std::vector<DWORD>& clientHandles,
                                              const std::vector<HRESULT>& errors) {
  size_t n = clientHandles.size() < errors.size() ? clientHandles.size() : errors.size();
  std::vector<uint8_t> b(16 + 8 * n, 0);
  bool allOk = true;
  for (size_t i = 0; i < n; ++i) {
    Put32(b, 16 + 8 * i, clientHandles[i]);
    Put32(b, 20 + 8 * i, static_cast<uint32_t>(errors[i]));
    if (FAILED(errors[i])) allOk = false;
  }
  Put32(b, 0, static_cast<uint32_t>(n));
  Put32(b, 4, hClientGroup);
  Put32(b, 8, transactionId);
  Put32(b, 12, static_cast<uint32_t>(allOk ? S_OK : S_FALSE));
  return b;
}

HGLOBAL StreamToHGlobal(const std::vector<uint8_t>& bytes) {
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, bytes.size() ? bytes.size() : 1);
  if (!h) return nullptr;
  void* p = GlobalLock(h);
  if (!p) {
    GlobalFree(h);
    return nullptr;
  }
  if (!bytes.empty()) memcpy(p, bytes.data(), bytes.size());
  GlobalUnlock(h);
  return h;
}

}  // namespace opc_toolkit
