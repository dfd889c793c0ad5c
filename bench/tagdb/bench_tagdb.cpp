// Loading the server tag database: time per row for 1,000, 10,000 and 100,000 generated rows,
// each as a ratio to the 1,000-row figure of the same run (1.0 means the load grows linearly).
//   scripts/wine build/bin/bench_tagdb.exe
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "ServerTagDatabase.h"

namespace {

class CountingTags : public IServedTagsPort {
 public:
  long count = 0;
  std::optional<std::string> Add(const std::string&, long, const TagValue&, short,
                                 OleDate) override {
    ++count;
    return std::nullopt;
  }
};

std::string Generate(long rows) {
  auto path = std::filesystem::temp_directory_path() / ("bench_tags_" + std::to_string(rows) + ".csv");
  std::ofstream out(path, std::ios::binary);
  out << "Tag,Type,Sheet,Cell,Write\r\n";
  static const char* types[] = {"R8", "I4", "BOOL", "STRING", "DATE", "R4", "I2"};
  for (long i = 0; i < rows; ++i) {
    out << "Area" << (i % 50) << ".Tag" << i << ',' << types[i % 7] << ",Sheet" << (i % 20)
        << ",R" << (i / 20 + 1) << 'C' << (i % 20 + 1) << ',' << (i % 3 ? "" : "yes") << "\r\n";
  }
  return path.string();
}

double SecondsPerRow(long rows, int repeats) {
  std::string file = Generate(rows);
  double best = 1e30;
  for (int r = 0; r < repeats; ++r) {
    CountingTags served;
    long errors = 0;
    ServerTagDatabase db(TagDatabaseContext{
        [](const std::string&) {}, [&errors] { ++errors; }, [] { return std::string(","); },
        [] { return OleDate{46000}; }, [&served]() -> IServedTagsPort* { return &served; },
        [] { return std::optional<long>(-4105); }});
    auto t0 = std::chrono::steady_clock::now();
    db.LoadServerDatabase(file);
    auto t1 = std::chrono::steady_clock::now();
    if (db.gTagCount != rows || errors != 0) {
      std::fprintf(stderr, "bench_tagdb: loaded %ld of %ld rows, %ld errors\n", db.gTagCount,
                   rows, errors);
      return -1;
    }
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count() / rows);
  }
  std::filesystem::remove(file);
  return best;
}

}  // namespace

int main() {
  const double base = SecondsPerRow(1000, 20);
  if (base <= 0) return 1;
  std::printf("rows      us/row   ratio to 1,000 rows\n");
  for (long rows : {1000L, 10000L, 100000L}) {
    double s = rows == 1000 ? base : SecondsPerRow(rows, rows == 100000 ? 3 : 5);
    if (s <= 0) return 1;
    std::printf("%-8ld %8.3f   %.2f\n", rows, s * 1e6, s / base);
  }
  return 0;
}
