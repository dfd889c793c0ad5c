// The two tag files a user writes: the served tag database (with the configured delimiter) and
// the client tag file. Whatever the bytes, loading must not crash, and what was loaded must be
// consistent: three equal lists, every registered write tag findable by name and by cell.
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "ClientTagFile.h"
#include "FuzzCheck.h"
#include "ServerTagDatabase.h"

namespace {
class CountingServed : public IServedTagsPort {
 public:
  long added = 0;
  std::optional<std::string> Add(const std::string&, long, const TagValue&, short,
                                 OleDate) override {
    ++added;
    return std::nullopt;
  }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const char delimiters[] = {',', ';', '\t', ' ', '|'};
  const std::string delimiter(1, delimiters[data[0] % sizeof delimiters]);
  static const std::string path = "/tmp/tessarel_fuzz_tags_" + std::to_string(getpid()) + ".csv";
  {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
  }
  CountingServed served;
  long errors = 0;
  ServerTagDatabase db{TagDatabaseContext{
      [](const std::string&) {}, [&errors] { ++errors; }, [&] { return delimiter; },
      [] { return OleDate{46000}; }, [&served]() -> IServedTagsPort* { return &served; },
      [] { return std::optional<long>(-4105); }}};
  db.LoadServerDatabase(path);
  FUZZ_CHECK(db.TagCount() >= 0);
  FUZZ_CHECK(served.added == db.TagCount() + 1);  // every tag, and the calculation-mode tag

  CellFormatter formatter;
  const std::size_t before = db.gTagsByName.Count();
  ClientTagList l = LoadClientDatabase(path, "Plant", db, formatter);
  FUZZ_CHECK(l.items.size() == l.cells.size() && l.cells.size() == l.writes.size());
  for (std::size_t i = 0; i < l.items.size(); ++i) FUZZ_CHECK(!l.items[i].empty());
  FUZZ_CHECK(db.gTagsByName.Count() >= before);
  FUZZ_CHECK(db.gTagsByName.Count() - before <= l.items.size());
  return 0;
}
