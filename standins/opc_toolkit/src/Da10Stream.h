// The DA 1.0 IDataObject stream formats, written byte by byte:
//   OPCSTMFORMATDATA / OPCSTMFORMATDATATIME: OPCGROUPHEADER (20 bytes), then one OPCITEMHEADER2
//   (12 bytes) or OPCITEMHEADER1 (20 bytes) per item, then the values. Each value is a wire
//   VARIANT of 16 bytes (vt, three reserved words, 8 bytes of data: the 32-bit layout the
//   stream was defined with, the same for 32- and 64-bit readers); a VT_BSTR value's data bytes
//   are zero and the VARIANT is followed by the string as a BSTR is stored: a DWORD byte count,
//   the UTF-16 characters and a terminating 16-bit NUL. dwValueOffset counts from the start of
//   the stream; dwSize is the whole stream. hrStatus is S_FALSE when any item is not good.
//   OPCSTMFORMATWRITECOMPLETE: OPCGROUPHEADERWRITE (16 bytes), then OPCITEMHEADERWRITE (8 bytes)
//   per item.
// Values of other types than the scalar automation types (arrays, interfaces) are written as
// VT_EMPTY.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <vector>

namespace opc_toolkit {

struct StreamItem {
  DWORD hClient;
  WORD quality;
  FILETIME time;
  const VARIANT* value;  // nullptr: VT_EMPTY
};

constexpr size_t kWireVariantSize = 16;

std::vector<uint8_t> BuildDataStream(DWORD hClientGroup, DWORD transactionId, bool withTime,
                                     const std::vector<StreamItem>& items);
std::vector<uint8_t> BuildWriteCompleteStream(DWORD hClientGroup, DWORD transactionId,
                                              const std::vector<DWORD>& clientHandles,
                                              const std::vector<HRESULT>& errors);
// Copies a stream into a movable global memory block (nullptr when memory is out).
HGLOBAL StreamToHGlobal(const std::vector<uint8_t>& bytes);

}  // namespace opc_toolkit
