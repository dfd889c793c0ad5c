#include "DataBytes.h"

#include <cstring>
#include <limits>

#include "Names.h"

namespace corvane {

std::vector<uint8_t> KeptBytes(const uint8_t* p, uint32_t size) {
  if (!p || size == 0) return {};
  return std::vector<uint8_t>(p, p + size);
}

int32_t HeldSize(const std::vector<uint8_t>& bytes) {
  constexpr size_t kMax = static_cast<size_t>(std::numeric_limits<int32_t>::max());
  return static_cast<int32_t>(bytes.size() < kMax ? bytes.size() : kMax);
}

int32_t ElementCount(const std::vector<uint8_t>& bytes, int32_t width) {
  const int32_t size = HeldSize(bytes);
  return width == 1 ? size : RoundedElementCount(size, width);
}

void FillElements(const std::vector<uint8_t>& bytes, int32_t count, int32_t width, void* out) {
  if (count <= 0 || width <= 0 || !out) return;
  // The last element of a rounded-up count is filled from the bytes held only; the rest is 0.
  const size_t want = static_cast<size_t>(count) * static_cast<size_t>(width);
  const size_t have = want < bytes.size() ? want : bytes.size();
  std::memset(out, 0, want);
  if (have) std::memcpy(out, bytes.data(), have);
}

int32_t CopyCount(const std::vector<uint8_t>& bytes, int32_t requested) {
  const int32_t size = HeldSize(bytes);
  return requested < size ? requested : size;
}

std::optional<uint8_t> ByteAt(const std::vector<uint8_t>& bytes, int32_t index) {
  if (bytes.empty() && index == 0) return uint8_t{0};  // an empty block still holds one element
  if (index < 0 || static_cast<size_t>(index) >= bytes.size()) return std::nullopt;
  return bytes[static_cast<size_t>(index)];
}

}  // namespace corvane
