// What the DDE service reads from its clients' messages, and the data block it sends them, as
// bytes and text: the WM_DDE_POKE block (flags, format, CF_TEXT text), the WM_DDE_ADVISE
// options, the WM_DDE_EXECUTE block (ANSI or UTF-16) and its bracketed commands. Plain C++ with
// no platform header, so the server, the native tests and the fuzz targets build the same code.
// Blocks start with a little-endian flags word and clipboard format (16 bits each).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wbs::dde {

constexpr size_t kHeaderSize = 4;
constexpr uint16_t kCfText = 1;

// The text of CF_TEXT data: at most `n` bytes, up to the first NUL, trailing CR and LF
// characters removed.
std::string TextOf(const uint8_t* p, size_t n);

// A WM_DDE_POKE block of `total` bytes; nothing for a block shorter than its header. The text
// (ANSI) is read for CF_TEXT only.
struct Poke {
  bool release = false;
  uint16_t format = 0;
  bool isText = false;
  std::string text;
};
std::optional<Poke> ReadPokeBlock(const uint8_t* block, size_t total);

// WM_DDE_ADVISE options; nothing for a block shorter than the options.
struct AdviseOptions {
  uint16_t format = 0;
  bool deferUpd = false;
  bool ackReq = false;
};
std::optional<AdviseOptions> ReadAdviseBlock(const uint8_t* block, size_t total);

// The command string of a WM_DDE_EXECUTE block of `n` bytes, up to its terminator: UTF-16 when
// the block starts with a non-zero byte and a zero (a Unicode client's), ANSI otherwise.
struct CommandText {
  bool wide = false;
  std::string ansi;
  std::u16string utf16;
};
CommandText ReadExecuteBlock(const uint8_t* block, size_t n);

// The commands of an execute string, one at a time: "[CALCULATE.NOW()][RUN(\"Macro\")]".
// `i` is the position in `s` (the string trimmed); each call returns the next command's name and
// arguments (both trimmed) and moves `i` past it, or Done at the end, or Error with `error` set.
struct Command {
  std::string name;
  std::string args;
};
enum class Step { Done, Command, Error };
Step NextCommand(const std::string& s, size_t& i, Command& command, std::string& error);

// RUN's macro name from its arguments: the first argument, its quotes removed.
std::string MacroName(const std::string& args);

// The WM_DDE_DATA block for a cell's text (ANSI): fRelease, the given flags, CF_TEXT, the text
// with CR LF and a NUL.
std::vector<uint8_t> TextDataBlock(const std::string& ansi, bool response, bool ackReq);

}  // namespace wbs::dde
