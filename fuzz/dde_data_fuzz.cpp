// The data a DDE server sends, as the DDE client control keeps it in a DDEData object and hands
// it back: kept byte for byte, element copies rounded to the nearest count and never reading
// past the bytes held nor writing past the elements asked for, indexes inside the block.
// Input: one byte choosing the element width, two for an index / copy request, then the data.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "DataBytes.h"
#include "FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  static const int32_t widths[] = {1, 2, 4, 8, 3, 0, -1, -4};
  const int32_t width = widths[data[0] % (sizeof widths / sizeof widths[0])];
  const int32_t request = static_cast<int16_t>(data[1] | (data[2] << 8));
  const uint8_t* block = data + 3;
  const size_t n = size - 3;

  // An exactly sized copy: a read past the data given is an error under the sanitizer.
  std::vector<uint8_t> given(block, block + n);
  const std::vector<uint8_t> bytes = corvane::KeptBytes(n ? given.data() : nullptr, static_cast<uint32_t>(n));
  FUZZ_CHECK(bytes == given);
  FUZZ_CHECK(corvane::HeldSize(bytes) == static_cast<int32_t>(n));

  const int32_t count = corvane::ElementCount(bytes, width);
  FUZZ_CHECK(count >= 0);
  if (width == 1) FUZZ_CHECK(count == static_cast<int32_t>(n));
  if (width < 1) FUZZ_CHECK(count == 0);
  if (width > 1) {
    // The nearest whole count: count * width is within half an element of the size.
    const int64_t diff = static_cast<int64_t>(count) * width - static_cast<int64_t>(n);
    FUZZ_CHECK(2 * std::llabs(diff) <= width);
  }
  if (count > 0) {
    const size_t want = static_cast<size_t>(count) * static_cast<size_t>(width);
    std::vector<uint8_t> out(want, 0xA5);  // exactly the elements: writing past them is caught
    corvane::FillElements(bytes, count, width, out.data());
    const size_t have = want < n ? want : n;
    FUZZ_CHECK(std::memcmp(out.data(), bytes.data(), have) == 0);
    for (size_t i = have; i < want; ++i) FUZZ_CHECK(out[i] == 0);
  }

  const int32_t copied = corvane::CopyCount(bytes, request);
  FUZZ_CHECK(copied <= static_cast<int32_t>(n));
  FUZZ_CHECK(copied == request || copied == static_cast<int32_t>(n));

  const auto b = corvane::ByteAt(bytes, request);
  if (request >= 0 && static_cast<size_t>(request) < n) {
    FUZZ_CHECK(b && *b == given[static_cast<size_t>(request)]);
  } else {
    FUZZ_CHECK(!b || (n == 0 && request == 0 && *b == 0));
  }
  return 0;
}
