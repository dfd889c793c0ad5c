// libFuzzer target for the DA 1.0 stream reader: any bytes, read as each format. The sanitizers
// stop the run on a read outside the input; the checks below on what was kept catch a reader
// that accepts more than the input holds.
#include "portable/OpcStream.h"

#include <cstdlib>

using namespace veltrane::stream;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (bool withTime : {true, false}) {
    DataStream d;
    if (ReadData(data, size, withTime, &d)) {
      for (const Item& item : d.items) {
        if (item.value.text.size() * 2 > size) std::abort();
        if ((item.value.vt & kVtArray) && (item.value.vt & ~kVtArray) != kVtBstr &&
            item.value.elements.size() != item.value.count * ScalarSize(item.value.vt & ~kVtArray))
          std::abort();
      }
    }
  }
  uint32_t id = 0;
  size_t length = 0;
  if (PeekData(data, size, &id, &length) && length > size) std::abort();
  if (PeekWriteComplete(data, size, &id, &length) && length > size) std::abort();
  WriteCompleteStream w;
  if (ReadWriteComplete(data, size, &w) && 16 + 8 * w.items.size() > size) std::abort();
  return 0;
}
