#include "DdeRequests.h"

#include <cstring>

#include "CellText.h"

namespace wbs::dde {

namespace {
constexpr uint16_t kResponse = 0x1000, kRelease = 0x2000, kDeferUpd = 0x4000, kAckReq = 0x8000;

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
}  // namespace

std::string TextOf(const uint8_t* p, size_t n) {
  if (!p) return std::string();
  size_t len = 0;
  while (len < n && p[len]) ++len;
  std::string s(reinterpret_cast<const char*>(p), len);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

std::optional<Poke> ReadPokeBlock(const uint8_t* block, size_t total) {
  if (!block || total < kHeaderSize) return std::nullopt;
  Poke poke;
  poke.release = (Word(block) & kRelease) != 0;
  poke.format = Word(block + 2);
  if (poke.format == kCfText) {
    poke.isText = true;
    poke.text = TextOf(block + kHeaderSize, total - kHeaderSize);
  }
  return poke;
}

std::optional<AdviseOptions> ReadAdviseBlock(const uint8_t* block, size_t total) {
  if (!block || total < kHeaderSize) return std::nullopt;
  AdviseOptions a;
  const uint16_t flags = Word(block);
  a.deferUpd = (flags & kDeferUpd) != 0;
  a.ackReq = (flags & kAckReq) != 0;
  a.format = Word(block + 2);
  return a;
}

CommandText ReadExecuteBlock(const uint8_t* p, size_t n) {
  CommandText c;
  if (!p) return c;
  if (n >= 2 && p[0] && !p[1]) {
    c.wide = true;
    for (size_t i = 0; i < n / 2; ++i) {
      const char16_t w = static_cast<char16_t>(Word(p + 2 * i));
      if (!w) break;
      c.utf16.push_back(w);
    }
  } else {
    size_t len = 0;
    while (len < n && p[len]) ++len;
    c.ansi.assign(reinterpret_cast<const char*>(p), len);
  }
  return c;
}

Step NextCommand(const std::string& s, size_t& i, Command& command, std::string& error) {
  while (i < s.size() && (s[i] == ' ' || s[i] == '\r' || s[i] == '\n')) ++i;
  if (i >= s.size()) return Step::Done;
  if (s[i] != '[') {
    error = "commands are written in brackets: [CALCULATE.NOW()]";
    return Step::Error;
  }
  // The closing bracket outside any quoted argument.
  size_t j = i + 1;
  bool quoted = false;
  for (; j < s.size(); ++j) {
    if (s[j] == '"') quoted = !quoted;
    if (s[j] == ']' && !quoted) break;
  }
  if (j >= s.size()) {
    error = "missing ]";
    return Step::Error;
  }
  const std::string one = Trim(s.substr(i + 1, j - i - 1));
  i = j + 1;
  command.name = one;
  command.args.clear();
  const size_t paren = one.find('(');
  if (paren != std::string::npos) {
    if (one.back() != ')') {
      error = "missing ) in " + one;
      return Step::Error;
    }
    command.name = Trim(one.substr(0, paren));
    command.args = Trim(one.substr(paren + 1, one.size() - paren - 2));
  }
  return Step::Command;
}

std::string MacroName(const std::string& args) {
  std::string macro = args;
  const size_t comma = macro.find(',');
  if (comma != std::string::npos && macro[0] != '"') macro = macro.substr(0, comma);
  macro = Trim(macro);
  if (macro.size() >= 2 && macro.front() == '"') {
    const size_t end = macro.find('"', 1);
    macro = macro.substr(1, end == std::string::npos ? std::string::npos : end - 1);
  }
  return macro;
}

std::vector<uint8_t> TextDataBlock(const std::string& ansi, bool response, bool ackReq) {
  const std::string v = ansi + "\r\n";
  std::vector<uint8_t> b(kHeaderSize + v.size() + 1, 0);
  const uint16_t flags = static_cast<uint16_t>(kRelease | (response ? kResponse : 0) | (ackReq ? kAckReq : 0));
  b[0] = static_cast<uint8_t>(flags & 0xFF);
  b[1] = static_cast<uint8_t>(flags >> 8);
  b[2] = static_cast<uint8_t>(kCfText);
  b[3] = 0;
  std::memcpy(b.data() + kHeaderSize, v.data(), v.size());
  return b;
}

}  // namespace wbs::dde
