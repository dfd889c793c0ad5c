// The DA 1.0 data and write-complete streams an OPC server sends to a group's advise sink, as
// Veltrane reads them: a group header is accepted exactly when it and its item headers fit in the
// stream's own bytes, nothing of an accepted stream goes missing (every item is read or counted as
// dropped), each kept value holds what its descriptor promised, and the copy a group keeps of a
// stream that came early (its first PeekData bytes) reads exactly as the stream itself.
// Input: one byte choosing the format (data with time, data without, write complete), then the
// stream.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzCheck.h"
#include "portable/OpcStream.h"

namespace vs = veltrane::stream;

namespace {

uint32_t U32(const std::vector<uint8_t>& s, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(s[at + i]) << (8 * i);
  return v;
}

bool SameValue(const vs::Value& a, const vs::Value& b) {
  return a.vt == b.vt && a.bits == b.bits && a.text == b.text && a.lowerBound == b.lowerBound &&
         a.count == b.count && a.elements == b.elements && a.strings == b.strings;
}

bool SameStream(const vs::DataStream& a, const vs::DataStream& b) {
  if (a.groupHandle != b.groupHandle || a.transactionId != b.transactionId ||
      a.status != b.status || a.dropped != b.dropped || a.items.size() != b.items.size())
    return false;
  for (size_t i = 0; i < a.items.size(); ++i) {
    const vs::Item& x = a.items[i];
    const vs::Item& y = b.items[i];
    if (x.client != y.client || x.quality != y.quality || x.hasTime != y.hasTime ||
        x.time != y.time || !SameValue(x.value, y.value))
      return false;
  }
  return true;
}

void CheckData(const std::vector<uint8_t>& s, bool withTime) {
  const size_t n = s.size();
  vs::DataStream d;
  const bool ok = vs::ReadData(n ? s.data() : nullptr, n, withTime, &d);

  // The header's verdict, worked out from the raw bytes.
  const size_t itemHeader = withTime ? vs::kItemHeader1Size : vs::kItemHeader2Size;
  bool expected = n >= vs::kGroupHeaderSize && U32(s, 0) >= vs::kGroupHeaderSize;
  uint64_t own = 0, count = 0;
  if (expected) {
    own = std::min<uint64_t>(U32(s, 0), n);
    count = U32(s, 4);
    expected = vs::kGroupHeaderSize + count * itemHeader <= own;
  }
  FUZZ_CHECK(ok == expected);
  if (!ok) {
    FUZZ_CHECK(d.items.empty() && d.dropped == 0);
  } else {
    FUZZ_CHECK(d.items.size() + d.dropped == count);
    FUZZ_CHECK(d.groupHandle == U32(s, 8) && d.transactionId == U32(s, 12) &&
               static_cast<uint32_t>(d.status) == U32(s, 16));
    for (const vs::Item& item : d.items) {
      FUZZ_CHECK(item.hasTime == withTime);
      const vs::Value& v = item.value;
      if (v.vt == vs::kVtBstr) FUZZ_CHECK(v.text.size() * 2 <= own);
      if (v.vt & vs::kVtArray) {
        const uint16_t element = static_cast<uint16_t>(v.vt & ~vs::kVtArray);
        if (element == vs::kVtBstr) {
          FUZZ_CHECK(v.strings.size() == v.count && v.elements.empty());
          uint64_t total = 0;
          for (const auto& t : v.strings) total += 6 + 2 * static_cast<uint64_t>(t.size());
          FUZZ_CHECK(total <= own);
        } else {
          FUZZ_CHECK(vs::ScalarSize(element) != 0);
          FUZZ_CHECK(v.elements.size() == static_cast<uint64_t>(v.count) * vs::ScalarSize(element));
          FUZZ_CHECK(v.elements.size() <= own);
        }
      } else if (v.vt != vs::kVtBstr && v.vt != vs::kVtEmpty && v.vt != vs::kVtNull) {
        FUZZ_CHECK(vs::ScalarSize(v.vt) != 0);
      }
    }
  }

  uint32_t id = 0;
  size_t length = 0;
  const bool peeked = vs::PeekData(n ? s.data() : nullptr, n, &id, &length);
  FUZZ_CHECK(peeked == (n >= vs::kGroupHeaderSize && U32(s, 0) >= vs::kGroupHeaderSize));
  if (peeked) {
    FUZZ_CHECK(id == U32(s, 12) && length == std::min<size_t>(U32(s, 0), n));
    // The copy kept of an early stream: exactly `length` bytes, read as the original.
    std::vector<uint8_t> kept(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(length));
    vs::DataStream again;
    FUZZ_CHECK(vs::ReadData(kept.data(), kept.size(), withTime, &again) == ok);
    FUZZ_CHECK(SameStream(d, again));
  } else {
    FUZZ_CHECK(!ok);
  }
}

void CheckWriteComplete(const std::vector<uint8_t>& s) {
  const size_t n = s.size();
  vs::WriteCompleteStream w;
  const bool ok = vs::ReadWriteComplete(n ? s.data() : nullptr, n, &w);
  const bool expected =
      n >= vs::kWriteHeaderSize && vs::kWriteHeaderSize + uint64_t{U32(s, 0)} * vs::kWriteItemSize <= n;
  FUZZ_CHECK(ok == expected);
  uint32_t id = 0;
  size_t length = 0;
  FUZZ_CHECK(vs::PeekWriteComplete(n ? s.data() : nullptr, n, &id, &length) == ok);
  if (!ok) {
    FUZZ_CHECK(w.items.empty());
    return;
  }
  FUZZ_CHECK(w.items.size() == U32(s, 0));
  FUZZ_CHECK(length == vs::kWriteHeaderSize + w.items.size() * vs::kWriteItemSize && id == U32(s, 8));
  FUZZ_CHECK(w.groupHandle == U32(s, 4) && w.transactionId == U32(s, 8) &&
             static_cast<uint32_t>(w.status) == U32(s, 12));
  for (size_t i = 0; i < w.items.size(); ++i) {
    const size_t at = vs::kWriteHeaderSize + i * vs::kWriteItemSize;
    FUZZ_CHECK(w.items[i].client == U32(s, at) && static_cast<uint32_t>(w.items[i].error) == U32(s, at + 4));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // An exactly sized copy: a read past the stream is an error under the sanitizer.
  const std::vector<uint8_t> stream(data + 1, data + size);
  switch (data[0] % 3) {
    case 0: CheckData(stream, true); break;
    case 1: CheckData(stream, false); break;
    default: CheckWriteComplete(stream); break;
  }
  return 0;
}
