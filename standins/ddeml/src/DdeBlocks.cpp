#include "DdeBlocks.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ourddeml::blocks {

namespace {
std::vector<uint8_t> Header(uint16_t flags, uint16_t format, size_t dataSize) {
  std::vector<uint8_t> b(kHeaderSize + dataSize, 0);
  b[0] = static_cast<uint8_t>(flags & 0xFF);
  b[1] = static_cast<uint8_t>(flags >> 8);
  b[2] = static_cast<uint8_t>(format & 0xFF);
  b[3] = static_cast<uint8_t>(format >> 8);
  return b;
}
}  // namespace

DataMessage ReadDataBlock(const uint8_t* block, size_t total) {
  DataMessage m;
  if (!block) return m;
  uint8_t head[kHeaderSize] = {};
  std::memcpy(head, block, total < kHeaderSize ? total : kHeaderSize);
  const uint16_t flags = static_cast<uint16_t>(head[0] | (head[1] << 8));
  m.response = (flags & kResponse) != 0;
  m.release = (flags & kRelease) != 0;
  m.ackReq = (flags & kAckReq) != 0;
  m.format = static_cast<uint16_t>(head[2] | (head[3] << 8));
  if (total > kHeaderSize) m.value.assign(block + kHeaderSize, block + total);
  return m;
}

std::vector<uint8_t> PokeBlock(uint16_t format, const uint8_t* data, size_t size) {
  std::vector<uint8_t> b = Header(kRelease, format, data ? size : 0);
  if (data && size) std::memcpy(b.data() + kHeaderSize, data, size);
  return b;
}

std::vector<uint8_t> AdviseBlock(uint16_t format, bool deferUpd, bool ackReq) {
  return Header(static_cast<uint16_t>((deferUpd ? kDeferUpd : 0) | (ackReq ? kAckReq : 0)), format, 0);
}

AckStatus ReadAckStatus(uintptr_t lo) {
  AckStatus a;
  a.status = static_cast<uint16_t>(lo);
  a.positive = (a.status & kAckPositive) != 0;
  a.busy = (a.status & kAckBusy) != 0;
  return a;
}

bool IsAtomValue(uintptr_t v) { return v && v <= 0xFFFF; }

std::string InstanceName(const std::string& base, uint32_t window) {
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "(0x%08X)", static_cast<unsigned>(window));
  return base + suffix;
}

bool SplitInstanceName(const std::string& name, std::string* base, uint64_t* window) {
  const size_t p = name.rfind("(0x");
  if (p == std::string::npos || p == 0 || name.back() != ')') return false;
  const std::string hex = name.substr(p + 3, name.size() - p - 4);
  if (hex.empty() || hex.size() > 16 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return false;
  *base = name.substr(0, p);
  *window = std::strtoull(hex.c_str(), nullptr, 16);
  return true;
}

}  // namespace ourddeml::blocks
