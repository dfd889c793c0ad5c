// What the spreadsheet stand-in's DDE service reads from its clients: poke blocks, advise
// options and execute blocks (read within the size the block gives; texts stop at a terminator
// and are never longer than the block), execute strings (every command moves on, the parse ends)
// and R1C1 item names (what parses writes back the same way). Across the two sides of the link:
// the service's data block reads in our DDEML as the cell text with CR LF and NUL, as the client
// control keeps it; our DDEML's CF_TEXT poke reads in the service as the text poked.
// Input: the block; its bytes are also the execute string and the item name.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "CellText.h"
#include "DataBytes.h"
#include "DdeBlocks.h"
#include "DdeRequests.h"
#include "FuzzCheck.h"

using namespace wbs::dde;

namespace {
bool EndsInLineBreak(const std::string& s) { return !s.empty() && (s.back() == '\r' || s.back() == '\n'); }

void CheckExecuteString(const std::string& commands) {
  const std::string s = wbs::Trim(commands);
  size_t i = 0, steps = 0;
  Command c;
  std::string error;
  for (;;) {
    const size_t before = i;
    const Step step = NextCommand(s, i, c, error);
    if (step != Step::Command) {
      FUZZ_CHECK(step == Step::Done || !error.empty());
      break;
    }
    FUZZ_CHECK(i > before && i <= s.size());  // a command moves on, inside the string
    FUZZ_CHECK(c.name.size() + c.args.size() <= i - before);
    FUZZ_CHECK(MacroName(c.args).size() <= c.args.size());
    FUZZ_CHECK(++steps <= s.size() / 2);  // "[]" is the shortest command
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exactly sized copy: a read past the size given is an error under the sanitizer.
  const std::vector<uint8_t> block(data, data + size);
  const uint8_t* p = size ? block.data() : nullptr;

  if (auto poke = ReadPokeBlock(p, size)) {
    FUZZ_CHECK(size >= kHeaderSize);
    FUZZ_CHECK(poke->isText == (poke->format == kCfText));
    FUZZ_CHECK(poke->text.size() <= size - kHeaderSize);
    FUZZ_CHECK(poke->text.find('\0') == std::string::npos && !EndsInLineBreak(poke->text));
    FUZZ_CHECK(std::memcmp(poke->text.data(), p + kHeaderSize, poke->text.size()) == 0);
  } else {
    FUZZ_CHECK(size < kHeaderSize);
  }
  FUZZ_CHECK(ReadAdviseBlock(p, size).has_value() == (size >= kHeaderSize));

  const CommandText cmd = ReadExecuteBlock(p, size);
  if (cmd.wide) {
    FUZZ_CHECK(cmd.ansi.empty() && cmd.utf16.size() <= size / 2);
    FUZZ_CHECK(cmd.utf16.find(u'\0') == std::u16string::npos);
  } else {
    FUZZ_CHECK(cmd.utf16.empty() && cmd.ansi.size() <= size);
    FUZZ_CHECK(cmd.ansi.find('\0') == std::string::npos);
  }
  CheckExecuteString(cmd.wide ? std::string(reinterpret_cast<const char*>(data), size) : cmd.ansi);

  const std::string text(reinterpret_cast<const char*>(data), size);
  if (auto pos = wbs::ParseR1C1(text)) {
    FUZZ_CHECK(pos->row >= 0 && pos->row < wbs::kMaxRows && pos->col >= 0 && pos->col < wbs::kMaxCols);
    FUZZ_CHECK(wbs::ParseR1C1(wbs::ToR1C1(*pos)) == pos);
    FUZZ_CHECK(wbs::SameName(wbs::ToR1C1(*pos), text) || text.find('0') != std::string::npos);
  }

  // The service's answer, as our DDEML reads it and the client control keeps it.
  const std::string cell = TextOf(p, size);
  const bool response = size && (data[0] & 1), ackReq = size && (data[0] & 2);
  const std::vector<uint8_t> answer = TextDataBlock(cell, response, ackReq);
  const auto m = ourddeml::blocks::ReadDataBlock(answer.data(), answer.size());
  FUZZ_CHECK(m.format == kCfText && m.release && m.response == response && m.ackReq == ackReq);
  const std::string sent = cell + "\r\n" + std::string(1, '\0');
  FUZZ_CHECK(m.value == std::vector<uint8_t>(sent.begin(), sent.end()));
  const std::vector<uint8_t> kept = corvane::KeptBytes(m.value.data(), static_cast<uint32_t>(m.value.size()));
  FUZZ_CHECK(kept == m.value);
  FUZZ_CHECK(TextOf(kept.data(), kept.size()) == cell);

  // Our DDEML's poke of the same bytes, as the service reads it.
  const std::vector<uint8_t> poked = ourddeml::blocks::PokeBlock(kCfText, p, size);
  const auto back = ReadPokeBlock(poked.data(), poked.size());
  FUZZ_CHECK(back && back->release && back->isText && back->text == cell);
  return 0;
}
