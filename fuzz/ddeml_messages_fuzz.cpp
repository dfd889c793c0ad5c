// What our DDEML reads from a DDE server's messages: the WM_DDE_DATA block (read within the size
// the block gives, its data after the header byte for byte), the WM_DDE_ACK status word, and an
// instance-specific service name. What it writes reads back: poke and advise blocks give their
// flags, format and data, and an instance name splits into its base and window.
// Input: the data block; its bytes are also the lParam parts and the name.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "DdeBlocks.h"
#include "FuzzCheck.h"

using namespace ourddeml::blocks;

namespace {
uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void CheckData(const std::vector<uint8_t>& block) {
  const DataMessage m = ReadDataBlock(block.empty() ? nullptr : block.data(), block.size());
  if (block.size() >= kHeaderSize) {
    FUZZ_CHECK(m.value.size() == block.size() - kHeaderSize);
    FUZZ_CHECK(std::memcmp(m.value.data(), block.data() + kHeaderSize, m.value.size()) == 0);
    FUZZ_CHECK(m.format == Word(block.data() + 2));
  } else {
    FUZZ_CHECK(m.value.empty());
  }
  const uint16_t flags = block.size() >= 2 ? Word(block.data()) : 0;
  FUZZ_CHECK(m.response == ((flags & kResponse) != 0));
  FUZZ_CHECK(m.release == ((flags & kRelease) != 0));
  FUZZ_CHECK(m.ackReq == ((flags & kAckReq) != 0));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly sized copies: a read past the size given is an error under the sanitizer.
  const std::vector<uint8_t> block(data, data + size);
  CheckData(block);
  CheckData(std::vector<uint8_t>(block.begin(), block.begin() + static_cast<long>(size / 2)));

  const uint16_t format = size >= 4 ? Word(data + 2) : 0;
  const uint8_t* value = size > 4 ? data + 4 : nullptr;
  const size_t valueSize = size > 4 ? size - 4 : 0;
  const std::vector<uint8_t> poke = PokeBlock(format, value, valueSize);
  FUZZ_CHECK(poke.size() == kHeaderSize + valueSize);
  const DataMessage back = ReadDataBlock(poke.data(), poke.size());
  FUZZ_CHECK(back.release && !back.response && !back.ackReq);
  FUZZ_CHECK(back.format == format);
  FUZZ_CHECK(back.value == std::vector<uint8_t>(value, value + valueSize));
  const bool defer = size && (data[0] & 1), ack = size && (data[0] & 2);
  const std::vector<uint8_t> advise = AdviseBlock(format, defer, ack);
  FUZZ_CHECK(advise.size() == kHeaderSize);
  FUZZ_CHECK(((Word(advise.data()) & kDeferUpd) != 0) == defer);
  FUZZ_CHECK(ReadDataBlock(advise.data(), advise.size()).ackReq == ack);

  uintptr_t lo = 0;
  std::memcpy(&lo, data, size < sizeof lo ? size : sizeof lo);
  const AckStatus a = ReadAckStatus(lo);
  FUZZ_CHECK(a.status == (lo & 0xFFFF));
  FUZZ_CHECK(a.positive == ((lo & kAckPositive) != 0) && a.busy == ((lo & kAckBusy) != 0));
  FUZZ_CHECK(IsAtomValue(lo) == (lo != 0 && lo < 0x10000));

  const std::string name(reinterpret_cast<const char*>(data), size);
  std::string base;
  uint64_t window = 0;
  if (SplitInstanceName(name, &base, &window)) {
    FUZZ_CHECK(!base.empty() && base.size() + 5 <= name.size());
    FUZZ_CHECK(name.compare(0, base.size(), base) == 0);
  }
  // Any base with any window splits back into both.
  const uint32_t w = static_cast<uint32_t>(lo);
  if (!name.empty()) {
    std::string b2;
    uint64_t w2 = 0;
    FUZZ_CHECK(SplitInstanceName(InstanceName(name, w), &b2, &w2));
    FUZZ_CHECK(b2 == name && w2 == w);
  }
  return 0;
}
