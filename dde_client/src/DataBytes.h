// What a DDEData object keeps of the data a server sent and what its accessors give back, at
// the level of bytes: plain C++ with no platform header, so the control, the native tests and
// the fuzz targets build the same code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace corvane {

// The bytes of a data handle as DDEML gives access to them: none for a null pointer or a zero
// size, else exactly `size` bytes. The text of a DDEData is these bytes in full (a CF_TEXT
// terminator included), converted from the ANSI code page.
std::vector<uint8_t> KeptBytes(const uint8_t* p, uint32_t size);

// The Size property: the bytes held, saturated at the largest 32-bit value.
int32_t HeldSize(const std::vector<uint8_t>& bytes);

// Elements of `width` bytes in the bytes held: every byte for width 1, otherwise the rounded
// count (RoundedElementCount). 0 for a width below 1.
int32_t ElementCount(const std::vector<uint8_t>& bytes, int32_t width);

// Writes `count` elements of `width` bytes to `out`: the bytes held, as far as they go, then
// zeros. Reads no more than the bytes held and writes exactly count * width bytes.
void FillElements(const std::vector<uint8_t>& bytes, int32_t count, int32_t width, void* out);

// CopyByAddress: how many bytes a request for `requested` copies (the smaller of the two; a
// negative request is given back as it is and copies nothing).
int32_t CopyCount(const std::vector<uint8_t>& bytes, int32_t requested);

// DataArray(index): the byte at `index`, 0 at index 0 of an empty block, nothing out of range.
std::optional<uint8_t> ByteAt(const std::vector<uint8_t>& bytes, int32_t index);

}  // namespace corvane
