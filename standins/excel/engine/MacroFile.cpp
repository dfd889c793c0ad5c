#include "MacroFile.h"

#include "CellText.h"

namespace wbs {

MacroFileResult ParseMacroFile(std::string_view text) {
  MacroFileResult r;
  Macro* current = nullptr;
  int lineNo = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    std::string line = Trim(text.substr(pos, eol - pos));
    pos = eol + 1;
    ++lineNo;
    if (line.empty() || line[0] == '#' || line[0] == ';') {
      if (eol == text.size()) break;
      continue;
    }
    auto err = [&](const std::string& what) {
      r.errors.push_back("line " + std::to_string(lineNo) + ": " + what);
    };
    if (line[0] == '[') {
      if (line.back() != ']' || line.size() < 3) {
        err("bad macro header \"" + line + "\"");
        current = nullptr;
      } else {
        std::string name = Trim(line.substr(1, line.size() - 2));
        current = nullptr;
        for (auto& m : r.macros)
          if (SameName(m.name, name)) current = &m;
        if (current) {
          err("macro \"" + name + "\" is defined twice; the first is kept");
          current = nullptr;
          // Lines up to the next header belong to the dropped duplicate.
          r.macros.push_back(Macro{"\x01dropped", {}});
          current = &r.macros.back();
        } else {
          r.macros.push_back(Macro{name, {}});
          current = &r.macros.back();
        }
      }
    } else {
      const size_t eq = line.find('=');
      if (!current) {
        err("assignment outside a macro");
      } else if (eq == std::string::npos) {
        err("expected \"cell = expression\"");
      } else {
        MacroAssignment a;
        a.line = lineNo;
        std::string target = Trim(line.substr(0, eq));
        a.expression = Trim(line.substr(eq + 1));
        const size_t bang = target.rfind('!');
        if (bang != std::string::npos) {
          a.sheet = Trim(target.substr(0, bang));
          if (a.sheet.size() >= 2 && a.sheet.front() == '\'' && a.sheet.back() == '\'')
            a.sheet = a.sheet.substr(1, a.sheet.size() - 2);
          target = Trim(target.substr(bang + 1));
        }
        a.target = target;
        if (!ParseA1(a.target))
          err("bad target cell \"" + a.target + "\"");
        else if (a.expression.empty())
          err("empty expression");
        else
          current->steps.push_back(std::move(a));
      }
    }
    if (eol == text.size()) break;
  }
  std::erase_if(r.macros, [](const Macro& m) { return m.name == "\x01dropped"; });
  return r;
}

std::string MacroNameOf(std::string_view arg) {
  std::string s = Trim(arg);
  const size_t bang = s.rfind('!');
  if (bang != std::string::npos) s = s.substr(bang + 1);
  return Trim(s);
}

}  // namespace wbs
