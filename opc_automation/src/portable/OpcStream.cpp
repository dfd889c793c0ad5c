#include "portable/OpcStream.h"

#include <algorithm>
#include <cstring>

namespace veltrane::stream {
namespace {

// Bounds-checked little-endian reads over [0, size): every read states its offset and width,
// and a read that does not fit fails instead of touching memory.
class Bytes {
 public:
  Bytes(const uint8_t* p, size_t size) noexcept : p_(p), size_(p ? size : 0) {}
  size_t Size() const noexcept { return size_; }
  bool Fits(uint64_t offset, uint64_t length) const noexcept {
    return offset <= size_ && length <= size_ - offset;
  }
  bool U16(uint64_t at, uint16_t* v) const noexcept { return Get(at, 2, v); }
  bool U32(uint64_t at, uint32_t* v) const noexcept { return Get(at, 4, v); }
  bool U64(uint64_t at, uint64_t* v) const noexcept { return Get(at, 8, v); }
  const uint8_t* At(uint64_t at) const noexcept { return p_ + at; }  // after Fits only

 private:
  template <class T>
  bool Get(uint64_t at, size_t n, T* v) const noexcept {
    if (!Fits(at, n)) return false;
    T x = 0;
    for (size_t i = 0; i < n; ++i) x |= static_cast<T>(static_cast<T>(p_[at + i]) << (8 * i));
    *v = x;
    return true;
  }
  const uint8_t* p_;
  size_t size_;
};

// `bytes` UTF-16 bytes at `at` (already checked to fit) into *out; an odd length is refused.
bool Text(const Bytes& b, uint64_t at, uint32_t bytes, std::u16string* out) {
  if (bytes % 2 != 0 || !b.Fits(at, bytes)) return false;
  out->resize(bytes / 2);
  const uint8_t* p = b.At(at);
  for (size_t i = 0; i < out->size(); ++i)
    (*out)[i] = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
  return true;
}

// The value at `offset`; false when any part of it lies outside the stream.
bool ReadValue(const Bytes& b, uint64_t offset, Value* v) {
  uint16_t vt = 0;
  if (!b.Fits(offset, kWireVariantSize) || !b.U16(offset, &vt)) return false;
  const uint64_t after = offset + kWireVariantSize;
  if (vt == kVtBstr) {
    uint32_t length = 0;
    if (!b.U32(after, &length) || !Text(b, after + 4, length, &v->text)) return false;
    v->vt = kVtBstr;
    return true;
  }
  if (vt & kVtArray) {
    const uint16_t element = static_cast<uint16_t>(vt & ~kVtArray);
    uint16_t dims = 0;
    uint32_t elementSize = 0, count = 0, lower = 0;
    if (!b.Fits(after, kArrayDescriptorSize) || !b.U16(after, &dims) ||
        !b.U32(after + 4, &elementSize) || !b.U32(after + 16, &count) ||
        !b.U32(after + 20, &lower))
      return false;
    if (dims != 1) {
      v->vt = kVtEmpty;  // one index cannot address it
      return true;
    }
    uint64_t at = after + kArrayDescriptorSize;
    if (element == kVtBstr) {
      // Each element takes at least 6 bytes: a count larger than that allows is a lie, and
      // is caught before anything is reserved for it.
      if (!b.Fits(at, static_cast<uint64_t>(count) * 6)) return false;
      v->strings.resize(count);
      for (uint32_t i = 0; i < count; ++i) {
        uint32_t length = 0;
        if (!b.U32(at, &length) || !Text(b, at + 4, length, &v->strings[i])) return false;
        at += 4 + static_cast<uint64_t>(length);
        if (!b.Fits(at, 2)) return false;  // the terminator
        at += 2;
      }
    } else {
      const size_t size = ScalarSize(element);
      if (size == 0 || element == kVtEmpty || element == kVtNull) {
        v->vt = kVtEmpty;  // an element type automation values do not carry
        return true;
      }
      if (elementSize != size) return false;
      const uint64_t total = static_cast<uint64_t>(count) * size;
      if (!b.Fits(at, total)) return false;
      v->elements.assign(b.At(at), b.At(at) + total);
    }
    v->vt = vt;
    v->count = count;
    v->lowerBound = static_cast<int32_t>(lower);
    return true;
  }
  if (ScalarSize(vt) == 0 && vt != kVtEmpty && vt != kVtNull) {
    v->vt = kVtEmpty;  // interfaces, references, decimals: nothing a stream can carry
    return true;
  }
  if (!b.U64(offset + 8, &v->bits)) return false;
  v->vt = vt;
  return true;
}

}  // namespace

size_t ScalarSize(uint16_t vt) noexcept {
  switch (vt) {
    case kVtEmpty:
    case kVtNull:
      return 8;  // no data, but a VARIANT of its own
    case kVtI1:
    case kVtUi1:
      return 1;
    case kVtI2:
    case kVtUi2:
    case kVtBool:
      return 2;
    case kVtI4:
    case kVtUi4:
    case kVtR4:
    case kVtError:
    case kVtInt:
    case kVtUint:
      return 4;
    case kVtR8:
    case kVtCy:
    case kVtDate:
    case kVtI8:
    case kVtUi8:
      return 8;
    default:
      return 0;
  }
}

bool PeekData(const uint8_t* bytes, size_t available, uint32_t* transactionId, size_t* length) noexcept {
  Bytes b(bytes, available);
  uint32_t size = 0, id = 0;
  if (!b.U32(0, &size) || !b.U32(12, &id) || size < kGroupHeaderSize || !b.Fits(0, kGroupHeaderSize))
    return false;
  *transactionId = id;
  *length = std::min<size_t>(size, available);
  return true;
}

bool PeekWriteComplete(const uint8_t* bytes, size_t available, uint32_t* transactionId,
                       size_t* length) noexcept {
  Bytes b(bytes, available);
  uint32_t count = 0, id = 0;
  if (!b.U32(0, &count) || !b.U32(8, &id)) return false;
  const uint64_t total = kWriteHeaderSize + static_cast<uint64_t>(count) * kWriteItemSize;
  if (!b.Fits(0, total)) return false;
  *transactionId = id;
  *length = static_cast<size_t>(total);
  return true;
}

bool ReadData(const uint8_t* bytes, size_t available, bool withTime, DataStream* out) {
  *out = DataStream{};
  uint32_t size = 0, count = 0, group = 0, id = 0, status = 0;
  Bytes whole(bytes, available);
  if (!whole.U32(0, &size) || !whole.U32(4, &count) || !whole.U32(8, &group) ||
      !whole.U32(12, &id) || !whole.U32(16, &status) || size < kGroupHeaderSize)
    return false;
  // Only the stream's own bytes count, however large the block that carries it.
  Bytes b(bytes, std::min<size_t>(size, available));
  const size_t headerSize = withTime ? kItemHeader1Size : kItemHeader2Size;
  if (!b.Fits(kGroupHeaderSize, static_cast<uint64_t>(count) * headerSize)) return false;
  out->groupHandle = group;
  out->transactionId = id;
  out->status = static_cast<int32_t>(status);
  out->items.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t at = kGroupHeaderSize + static_cast<uint64_t>(i) * headerSize;
    Item item;
    uint32_t offset = 0;
    b.U32(at, &item.client);
    b.U32(at + 4, &offset);
    b.U16(at + 8, &item.quality);
    if (withTime) {
      b.U64(at + 12, &item.time);
      item.hasTime = true;
    }
    if (!ReadValue(b, offset, &item.value)) {
      ++out->dropped;
      continue;
    }
    out->items.push_back(std::move(item));
  }
  return true;
}

bool ReadWriteComplete(const uint8_t* bytes, size_t available, WriteCompleteStream* out) {
  *out = WriteCompleteStream{};
  Bytes b(bytes, available);
  uint32_t count = 0, group = 0, id = 0, status = 0;
  if (!b.U32(0, &count) || !b.U32(4, &group) || !b.U32(8, &id) || !b.U32(12, &status)) return false;
  if (!b.Fits(kWriteHeaderSize, static_cast<uint64_t>(count) * kWriteItemSize)) return false;
  out->groupHandle = group;
  out->transactionId = id;
  out->status = static_cast<int32_t>(status);
  out->items.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t at = kWriteHeaderSize + static_cast<uint64_t>(i) * kWriteItemSize;
    uint32_t error = 0;
    b.U32(at, &out->items[i].client);
    b.U32(at + 4, &error);
    out->items[i].error = static_cast<int32_t>(error);
  }
  return true;
}

}  // namespace veltrane::stream
