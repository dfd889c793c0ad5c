// Reader of the OPC DA 1.0 IDataObject stream formats a DA 1.0 server sends to a group's
// IAdviseSink. The stream comes from another program, so nothing in it is trusted: every
// count, offset, string length and array bound is checked against the bytes really there
// (the smaller of the stream's own dwSize and the memory block's size) before it is read.
// A bad group header drops the whole stream; a bad item (its header, value, string or array
// outside the stream) drops that item alone. Standard C++ only, so it builds natively.
//
// Layouts (little-endian, the 32-bit layout the formats were defined with):
//   OPCGROUPHEADER (20): dwSize, dwItemCount, hClientGroup, dwTransactionID, hrStatus
//   OPCITEMHEADER1 (20): hClient, dwValueOffset, wQuality, wReserved, FILETIME
//   OPCITEMHEADER2 (12): hClient, dwValueOffset, wQuality, wReserved
//   value at dwValueOffset: a 16-byte VARIANT (vt, 3 reserved words, 8 data bytes);
//     VT_BSTR: then a 32-bit byte length and that many bytes of UTF-16 text;
//     VT_ARRAY: then a 24-byte SAFEARRAY descriptor (cDims, fFeatures, cbElements, cLocks,
//     pvData, cElements, lLbound) and the elements; BSTR elements each as a 32-bit byte length,
//     the text and a 2-byte terminator. An array of other than one dimension becomes VT_EMPTY.
//   OPCGROUPHEADERWRITE (16): dwItemCount, hClientGroup, dwTransactionID, hrStatus
//   OPCITEMHEADERWRITE (8): hClient, dwError
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veltrane::stream {

// VARIANT type numbers the reader knows (the automation values).
enum : uint16_t {
  kVtEmpty = 0, kVtNull = 1, kVtI2 = 2, kVtI4 = 3, kVtR4 = 4, kVtR8 = 5, kVtCy = 6,
  kVtDate = 7, kVtBstr = 8, kVtError = 10, kVtBool = 11, kVtI1 = 16, kVtUi1 = 17,
  kVtUi2 = 18, kVtUi4 = 19, kVtI8 = 20, kVtUi8 = 21, kVtInt = 22, kVtUint = 23,
  kVtArray = 0x2000,
};

constexpr size_t kGroupHeaderSize = 20;
constexpr size_t kItemHeader1Size = 20;
constexpr size_t kItemHeader2Size = 12;
constexpr size_t kWireVariantSize = 16;
constexpr size_t kArrayDescriptorSize = 24;
constexpr size_t kWriteHeaderSize = 16;
constexpr size_t kWriteItemSize = 8;

// The size of one element of a scalar type, 0 for types the reader does not take.
size_t ScalarSize(uint16_t vt) noexcept;

struct Value {
  uint16_t vt = kVtEmpty;   // as in the stream; VT_EMPTY for what cannot be represented
  uint64_t bits = 0;        // the 8 data bytes of a scalar (little-endian)
  std::u16string text;      // VT_BSTR
  // VT_ARRAY | element type:
  int32_t lowerBound = 0;
  uint32_t count = 0;
  std::vector<uint8_t> elements;        // count * ScalarSize(element type) bytes
  std::vector<std::u16string> strings;  // BSTR elements
};

struct Item {
  uint32_t client = 0;
  uint16_t quality = 0;
  bool hasTime = false;
  uint64_t time = 0;  // FILETIME as one 64-bit number
  Value value;
};

struct DataStream {
  uint32_t groupHandle = 0;
  uint32_t transactionId = 0;
  int32_t status = 0;
  std::vector<Item> items;  // the readable items, in stream order
  size_t dropped = 0;       // items left out because they pointed outside the stream
};

struct WriteItem {
  uint32_t client = 0;
  int32_t error = 0;
};

struct WriteCompleteStream {
  uint32_t groupHandle = 0;
  uint32_t transactionId = 0;
  int32_t status = 0;
  std::vector<WriteItem> items;
};

// The bytes a data stream occupies (min(dwSize, available)) and its transaction id, for
// keeping a copy of a stream that arrived early. False when the group header is unreadable.
bool PeekData(const uint8_t* bytes, size_t available, uint32_t* transactionId, size_t* length) noexcept;
// Likewise for a write-complete stream: 16 + 8 * dwItemCount bytes.
bool PeekWriteComplete(const uint8_t* bytes, size_t available, uint32_t* transactionId,
                       size_t* length) noexcept;

// Reads a data stream (withTime: OPCITEMHEADER1, else OPCITEMHEADER2). False (and *out
// emptied) when the group header is bad: shorter than its 20 bytes, a dwSize below that, or
// more item headers than fit. Never reads outside bytes[0, available).
bool ReadData(const uint8_t* bytes, size_t available, bool withTime, DataStream* out);
// Reads a write-complete stream. False when its header or its records do not fit.
bool ReadWriteComplete(const uint8_t* bytes, size_t available, WriteCompleteStream* out);

}  // namespace veltrane::stream
