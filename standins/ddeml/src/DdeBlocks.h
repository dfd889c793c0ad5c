// The contents of the DDE messages our DDEML exchanges with servers in other processes, as
// bytes: the WM_DDE_DATA block it receives, the WM_DDE_POKE and WM_DDE_ADVISE blocks it sends,
// the status word of WM_DDE_ACK, and instance-specific service names ("Excel(0x0001002A)").
// Plain C++ with no platform header, so the DDEML, the native tests and the fuzz targets build
// the same code. Every block starts with a little-endian flags word and clipboard format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ourddeml::blocks {

constexpr size_t kHeaderSize = 4;  // flags word, then the clipboard format (16 bits each)
constexpr uint16_t kResponse = 0x1000;  // DDEDATA fResponse
constexpr uint16_t kRelease = 0x2000;   // DDEDATA / DDEPOKE fRelease
constexpr uint16_t kDeferUpd = 0x4000;  // DDEADVISE fDeferUpd
constexpr uint16_t kAckReq = 0x8000;    // DDEDATA / DDEADVISE fAckReq
constexpr uint16_t kAckPositive = 0x8000;  // WM_DDE_ACK status: DDE_FACK
constexpr uint16_t kAckBusy = 0x4000;      // DDE_FBUSY

// A WM_DDE_DATA block of `total` bytes: its flags, format and the data after the header (to the
// end of the block). A block shorter than its header reads as if the missing bytes were 0, with
// no data.
struct DataMessage {
  bool response = false;
  bool release = false;
  bool ackReq = false;
  uint16_t format = 0;
  std::vector<uint8_t> value;
};
DataMessage ReadDataBlock(const uint8_t* block, size_t total);

// The WM_DDE_POKE block of `size` bytes of data: fRelease set, then the data.
std::vector<uint8_t> PokeBlock(uint16_t format, const uint8_t* data, size_t size);
// The WM_DDE_ADVISE options.
std::vector<uint8_t> AdviseBlock(uint16_t format, bool deferUpd, bool ackReq);

// The low word of WM_DDE_ACK's lParam.
struct AckStatus {
  uint16_t status = 0;
  bool positive = false;
  bool busy = false;
};
AckStatus ReadAckStatus(uintptr_t lo);
// Whether an lParam part can be an atom (not 0, within 16 bits), as opposed to a memory handle.
bool IsAtomValue(uintptr_t v);

// "Base(0x0001002A)": a service as one server window announces it (the window as 8 hex digits).
std::string InstanceName(const std::string& base, uint32_t window);
// The reverse, for any name a client may pass: false unless it ends in "(0x" + 1 to 16 hex
// digits + ")" after a base of at least one character.
bool SplitInstanceName(const std::string& name, std::string* base, uint64_t* window);

}  // namespace ourddeml::blocks
