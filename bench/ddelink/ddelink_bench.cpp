// Workbook cells served as OPC tags, measured end to end: the spreadsheet stand-in, Tessarel and
// an OPC client (this program) in three processes, as a user runs them.
//
//   ddelink_bench latency [--samples N] [--configs TICK/RATE,...]
//       Time from a cell change (a DDE poke into the spreadsheet) to the OPC client's data
//       change, per Tessarel update interval (TICK ms) and group update rate (RATE ms); default
//       1000/1000,250/250,100/100,50/50. Baseline in the same run: the same changes seen by this
//       program's own hot link on the cell, straight from the spreadsheet.
//   ddelink_bench soak [--tags N] [--seconds S] [--period P] [--tick MS] [--rate MS] [--ack off|on|both]
//       N cells (default 10,000), all formulas on one driver cell that changes every P seconds
//       (default 1) for S seconds (default 600): every change the client receives is checked
//       against the value the cell had, lost changes are counted and explained, every tag's last
//       value is compared with its cell at the end, Tessarel's memory is sampled every 10 s.
//       --ack sets Tessarel's AckHotLinks; "both" (the default) runs the soak without, then with
//       acknowledged hot links, and prints the two side by side.
//   ddelink_bench startup [--tags N,...] [--rounds R]
//       Tessarel's start-up (its DDE phase: every cell requested, then every hot link started)
//       against the bare DDE requests and advise starts of the same cells from this program, in
//       alternating rounds; default 1000,10000 tags, 3 rounds.
//
// Needs the build registered (scripts/register): the spreadsheet stand-in, Tessarel, OpcProxy.
// Run from the build's bin folder: scripts/wine build/bin/ddelink_bench.exe latency
#include <cmath>
#include <map>
#include <random>

#include "BenchRig.h"

using namespace bench;

namespace {

std::string gBin;  // the folder of this program, Tessarel.exe beside it
const wchar_t* kProgId = L"Marrowby.Tessarel.1";

std::string Arg(int argc, char** argv, const char* name, const char* def) {
  for (int i = 2; i + 1 < argc; ++i)
    if (std::string(argv[i]) == name) return argv[i + 1];
  return def;
}

std::vector<long> Numbers(const std::string& list) {
  std::vector<long> out;
  size_t p = 0;
  while (p < list.size()) {
    size_t q = list.find_first_of(",/", p);
    out.push_back(std::atol(list.substr(p, q - p).c_str()));
    if (q == std::string::npos) break;
    p = q + 1;
  }
  return out;
}

// Starts Tessarel on the folder's INI and tag database and waits until every sheet's
// conversation is set up; false (with the reason printed) when it does not get there.
bool StartTessarel(TessarelRun& t, const std::string& sheet, double timeoutSeconds) {
  if (!t.Start()) {
    Say("  Tessarel.exe could not be started\n");
    return false;
  }
  if (!t.WaitLog("ConnectToDdeServer: OK for Excel," + sheet, timeoutSeconds)) {
    Say("  Tessarel did not connect to the spreadsheet within %.0f s; its log:\n%s\n",
        timeoutSeconds, t.LogText().c_str());
    return false;
  }
  return true;
}

// Tessarel ends when its last OPC client leaves.
void EndTessarel(TessarelRun& t, OpcSide& opc) {
  opc.Disconnect();
  if (t.WaitExit(60000) < 0) Say("  (Tessarel did not end within 60 s of its last client leaving)\n");
}

// ---- latency ---------------------------------------------------------------------------------

struct LatencyResult {
  long tick, rate;
  std::vector<double> opc, direct;  // seconds
  long lost = 0;
};

bool RunLatency(long tick, long rate, int samples, std::mt19937& rng, LatencyResult& r) {
  r.tick = tick;
  r.rate = rate;
  wintest::TempFolder dir("ddelink_latency");
  Spreadsheet sheet(dir.Path(), "Lat", 1, [](long) { return std::string("0"); });
  WriteTessarelIni(dir, sheet.Path(), tick);
  WriteTags(dir, "Lat", 1, 1);
  TessarelRun t(gBin, dir.Path());
  if (!StartTessarel(t, "lat", 60)) return false;

  std::map<long, double> poked;           // value -> time of its poke
  std::map<long, double> seenOpc, seenDde;  // value -> arrival time
  DdeSide dde;
  dde.onAdvise = [&](const std::string&, const std::string& text, double at) {
    seenDde.emplace(std::atol(text.c_str()), at);
  };
  if (!dde.Connect("Excel", "Lat") || !dde.Advise("R1C1")) {
    Say("  no DDE conversation with the spreadsheet\n");
    return false;
  }
  OpcSide opc;
  opc.onChange = [&](OPCHANDLE, const VARIANT& v, WORD q, double at) {
    if (q == OPC_QUALITY_GOOD) seenOpc.emplace(std::lround(AsDouble(v)), at);
  };
  HRESULT hr = opc.Connect(kProgId, static_cast<DWORD>(rate), {L"T1"});
  if (FAILED(hr)) {
    Say("  OPC connection failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return false;
  }
  PumpUntil(Now() + 2.0);
  const double period = std::max(tick, rate) / 1000.0;
  const double patience = (tick + rate) / 1000.0 + 5.0;
  std::uniform_real_distribution<double> phase(0.0, period);
  for (int s = 1; s <= samples; ++s) {
    const long value = 100000 + s;
    // A random wait first, so the change falls anywhere in the update tick and the group's
    // update period instead of just after them.
    PumpUntil(Now() + phase(rng));
    poked[value] = Now();
    if (!dde.Poke("R1C1", std::to_string(value))) {
      Say("  poke %ld refused\n", value);
      continue;
    }
    PumpUntil(Now() + patience, [&] { return seenOpc.count(value) && seenDde.count(value); });
    if (!seenOpc.count(value)) ++r.lost;
    if (getenv("DDELINK_BENCH_TRACE"))
      Say("    %ld: opc %s, direct %s after %.3f s\n", value, seenOpc.count(value) ? "yes" : "no",
          seenDde.count(value) ? "yes" : "no", Now() - poked[value]);
    if (s % 20 == 0) Say("  %ld/%ld: %d changes\n", tick, rate, s);
  }
  for (auto& [value, at] : poked) {
    if (seenOpc.count(value)) r.opc.push_back(seenOpc[value] - at);
    if (seenDde.count(value)) r.direct.push_back(seenDde[value] - at);
  }
  EndTessarel(t, opc);
  return true;
}

int Latency(int argc, char** argv) {
  const int samples = std::max(5, std::atoi(Arg(argc, argv, "--samples", "100").c_str()));
  std::vector<long> list = Numbers(Arg(argc, argv, "--configs", "1000/1000,250/250,100/100,50/50"));
  if (list.empty() || list.size() % 2) {
    Say("ddelink_bench: --configs takes TICK/RATE pairs\n");
    return 2;
  }
  std::mt19937 rng(20261208);
  std::vector<LatencyResult> results;
  for (size_t i = 0; i + 1 < list.size(); i += 2) {
    Say("latency: update interval %ld ms, group rate %ld ms, %d changes\n", list[i], list[i + 1],
        samples);
    LatencyResult r;
    if (!RunLatency(list[i], list[i + 1], samples, rng, r)) return 1;
    results.push_back(std::move(r));
  }
  Say("\ncell change -> OPC data change (ms)       median     p99     max   lost | direct hot link median | ratio to direct | ratio to first\n");
  double first = results.empty() ? 0 : Percentile(results[0].opc, 50);
  for (auto& r : results) {
    double med = Percentile(r.opc, 50), p99 = Percentile(r.opc, 99);
    double mx = r.opc.empty() ? 0 : *std::max_element(r.opc.begin(), r.opc.end());
    double dmed = Percentile(r.direct, 50);
    Say("  tick %5ld, rate %5ld  (%3ld samples)  %8.1f %8.1f %7.1f %5ld | %10.2f            | %10.0f      | %.3f\n",
        r.tick, r.rate, static_cast<long>(r.opc.size()), med * 1000, p99 * 1000, mx * 1000, r.lost,
        dmed * 1000, dmed > 0 ? med / dmed : 0, first > 0 ? med / first : 0);
  }
  Say("(timers alone would give a mean of about (tick + rate) / 2 and at most tick + rate)\n");
  return 0;
}

// ---- soak ------------------------------------------------------------------------------------

// What one soak run found, for the side-by-side summary.
struct SoakOutcome {
  bool ran = false;
  int rc = 1;
  double deliveredShare = 0, medianAge = 0, p99Age = 0, maxAge = 0;
  long long backwards = 0, ahead = 0;
  long stale = 0, cellMismatch = 0, cachedMismatch = 0;
  double memoryTrendMBPerMin = 0, memoryEndMB = 0;
};

SoakOutcome SoakOnce(long n, long seconds, long period, long tick, long rate, bool ack) {
  SoakOutcome out;
  const long changes = seconds / period;
  Say("soak: %ld tags, every cell changes every %ld s for %ld s, update interval %ld ms, group rate %ld ms, %s hot links\n",
      n, period, seconds, tick, rate, ack ? "acknowledged" : "unacknowledged");

  wintest::TempFolder dir("ddelink_soak");
  Spreadsheet sheet(dir.Path(), "Soak", n, [](long) { return std::string("0"); });
  // Every served cell follows the driver cell A1: B(i) = A1 + i, so a change of A1 changes all.
  sheet.FillColumn("B", n, [](long i) { return L"=$A$1+" + std::to_wstring(i); });
  WriteTessarelIni(dir, sheet.Path(), tick, ack);
  WriteTags(dir, "Soak", n, 2);
  TessarelRun t(gBin, dir.Path());
  if (!StartTessarel(t, "soak", 600)) return out;
  Say("  Tessarel serves the cells %.1f s after its start\n", Now() - t.Started());

  std::vector<double> pokeTime(static_cast<size_t>(changes) + 2, 0.0);
  std::vector<long> lastK(static_cast<size_t>(n), -1);
  std::vector<double> lastAt(static_cast<size_t>(n), 0.0);
  long long delivered = 0, lost = 0, lostRuns = 0, backwards = 0, ahead = 0, bad = 0;
  double maxAge = 0, maxLostGap = 0;
  std::vector<double> ages;
  ages.reserve(static_cast<size_t>(n) * 4);
  long current = 0;  // the driver's value now
  bool counting = false;
  OpcSide opc;
  opc.onChange = [&](OPCHANDLE h, const VARIANT& v, WORD q, double at) {
    if (h >= static_cast<OPCHANDLE>(n)) return;
    if (q != OPC_QUALITY_GOOD) {
      ++bad;
      return;
    }
    const long i = static_cast<long>(h) + 1;
    const long k = std::lround(AsDouble(v)) - i;
    long& last = lastK[static_cast<size_t>(h)];
    lastAt[static_cast<size_t>(h)] = at;
    if (!counting) {
      last = k;
      return;
    }
    if (k > current) {
      ++ahead;  // a value the cell never had yet: cannot happen unless data is corrupted
      return;
    }
    if (k <= last) {
      ++backwards;  // an older value after a newer one
      return;
    }
    ++delivered;
    if (k - last > 1) {
      lost += k - last - 1;
      if (k - last > 2) ++lostRuns;
      // Each lost value was replaced by its successor one driver period later.
      for (long j = last + 1; j < k; ++j)
        if (j >= 1 && j + 1 <= current)
          maxLostGap = std::max(maxLostGap, pokeTime[static_cast<size_t>(j + 1)] - pokeTime[static_cast<size_t>(j)]);
    }
    last = k;
    if (k >= 1) {
      double age = at - pokeTime[static_cast<size_t>(k)];
      maxAge = std::max(maxAge, age);
      ages.push_back(age);
    }
  };
  HRESULT hr = opc.Connect(kProgId, static_cast<DWORD>(rate), TagNames(n));
  if (FAILED(hr)) {
    Say("  OPC connection failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return out;
  }
  DdeSide dde;
  if (!dde.Connect("Excel", "Soak")) {
    Say("  no DDE conversation with the spreadsheet\n");
    return out;
  }
  PumpUntil(Now() + 3.0);
  long initial = 0;
  for (long k : lastK) initial += k == 0;
  Say("  initial values: %ld of %ld tags hold their cell's value\n", initial, n);

  struct Sample {
    double t, privMB, wsMB;
  };
  std::vector<Sample> memory;
  counting = true;
  const double t0 = Now();
  long refused = 0;
  double nextSample = 10;
  for (long j = 1; j <= changes; ++j) {
    PumpUntil(t0 + static_cast<double>(j * period));
    current = j;
    pokeTime[static_cast<size_t>(j)] = Now();
    if (!dde.Poke("R1C1", std::to_string(j))) ++refused;
    if (Now() - t0 >= nextSample - 0.5 || j == changes) {
      nextSample += 10;
      auto [priv, ws] = t.MemoryMB();
      memory.push_back({Now() - t0, priv, ws});
      const long at = j * period;
      if (at % 60 < period || j == changes)
        Say("  %4ld s: %lld changes delivered (%.0f/s), %lld lost, oldest value delivered %.0f ms after its change, Tessarel %.1f MB private / %.1f MB working set\n",
            at, delivered, static_cast<double>(delivered) / (Now() - t0), lost, maxAge * 1000, priv, ws);
    }
  }
  // Let the last change travel: one update tick and one group period, and some.
  PumpUntil(Now() + (tick + rate) / 1000.0 + 3.0);

  long stale = 0;
  for (long i = 0; i < n; ++i) stale += lastK[static_cast<size_t>(i)] != changes;
  // The cells themselves, read straight from the spreadsheet, against what the client last got.
  long cellMismatch = 0, cachedMismatch = 0;
  for (long i = 1; i <= n; ++i) {
    auto text = dde.Request("R" + std::to_string(i) + "C2");
    double cell = text ? std::atof(text->c_str()) : -1;
    if (!text || std::lround(cell) != lastK[static_cast<size_t>(i - 1)] + i) ++cellMismatch;
  }
  std::vector<std::pair<double, WORD>> cache;
  if (opc.ReadAll(cache)) {
    for (long i = 1; i <= n; ++i)
      if (cache[static_cast<size_t>(i - 1)].second != OPC_QUALITY_GOOD ||
          std::lround(cache[static_cast<size_t>(i - 1)].first) != changes + i)
        ++cachedMismatch;
  } else {
    cachedMismatch = n;
  }

  const long long produced = static_cast<long long>(n) * changes;
  Say("\nsoak result: %ld tags x %ld changes = %lld changes produced (%.0f/s)\n", n, changes, produced,
      static_cast<double>(n) / static_cast<double>(period));
  Say("  delivered to the client:        %lld (%.4f of produced)\n", delivered,
      static_cast<double>(delivered) / static_cast<double>(produced));
  Say("  lost (superseded):              %lld; runs of two or more lost in a row: %lld; longest gap between a lost change and the change that replaced it: %.0f ms\n",
      lost, lostRuns, maxLostGap * 1000);
  Say("  delivered out of order:         %lld; values the cell never had: %lld; bad quality: %lld; pokes refused: %ld\n",
      backwards, ahead, bad, refused);
  Say("  age of delivered values:        median %.0f ms, p99 %.0f ms, max %.0f ms (update interval + group rate = %ld ms)\n",
      Percentile(ages, 50) * 1000, Percentile(ages, 99) * 1000, maxAge * 1000, tick + rate);
  Say("  at the end: tags whose last value is not the final one: %ld; cells differing from the client's last value: %ld; server cache differing: %ld\n",
      stale, cellMismatch, cachedMismatch);
  if (memory.size() >= 4) {
    // Memory growth over the second half, by least squares, against the level at its start.
    size_t from = memory.size() / 2;
    double sx = 0, sy = 0, sxx = 0, sxy = 0, m = 0;
    for (size_t i = from; i < memory.size(); ++i, ++m) {
      sx += memory[i].t;
      sy += memory[i].privMB;
      sxx += memory[i].t * memory[i].t;
      sxy += memory[i].t * memory[i].privMB;
    }
    double slope = (m * sxy - sx * sy) / (m * sxx - sx * sx);
    double peak = 0;
    for (auto& s : memory) peak = std::max(peak, s.privMB);
    Say("  Tessarel private memory: %.1f MB at %.0f s, %.1f MB at %.0f s, %.1f MB at the end, peak %.1f MB; second-half trend %+.3f MB/min (ratio end/midpoint %.3f)\n",
        memory.front().privMB, memory.front().t, memory[from].privMB, memory[from].t,
        memory.back().privMB, peak, slope * 60, memory.back().privMB / memory[from].privMB);
    out.memoryTrendMBPerMin = slope * 60;
    out.memoryEndMB = memory.back().privMB;
  }
  EndTessarel(t, opc);
  out.ran = true;
  out.rc = (stale || cellMismatch || cachedMismatch || backwards || ahead) ? 3 : 0;
  out.deliveredShare = static_cast<double>(delivered) / static_cast<double>(produced);
  out.medianAge = Percentile(ages, 50);
  out.p99Age = Percentile(ages, 99);
  out.maxAge = maxAge;
  out.backwards = backwards;
  out.ahead = ahead;
  out.stale = stale;
  out.cellMismatch = cellMismatch;
  out.cachedMismatch = cachedMismatch;
  return out;
}

int Soak(int argc, char** argv) {
  const long n = std::max(1L, std::atol(Arg(argc, argv, "--tags", "10000").c_str()));
  const long seconds = std::max(5L, std::atol(Arg(argc, argv, "--seconds", "600").c_str()));
  const long tick = std::atol(Arg(argc, argv, "--tick", "1000").c_str());
  const long rate = std::atol(Arg(argc, argv, "--rate", "1000").c_str());
  const long period = std::max(1L, std::atol(Arg(argc, argv, "--period", "1").c_str()));
  const std::string ack = Arg(argc, argv, "--ack", "both");
  std::vector<bool> settings;
  if (ack == "off" || ack == "both") settings.push_back(false);
  if (ack == "on" || ack == "both") settings.push_back(true);
  if (settings.empty()) {
    Say("ddelink_bench: --ack takes off, on or both\n");
    return 2;
  }
  std::vector<SoakOutcome> runs;
  for (bool a : settings) {
    runs.push_back(SoakOnce(n, seconds, period, tick, rate, a));
    Say("\n");
  }
  Say("soak summary (%ld tags, every cell every %ld s, %ld s):\n", n, period, seconds);
  Say("  %-15s %9s %10s %10s %10s %9s %11s %13s\n", "hot links", "delivered", "median age", "p99 age",
      "max age", "wrong", "end differs", "memory trend");
  int rc = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    const SoakOutcome& r = runs[i];
    const char* name = settings[i] ? "acknowledged" : "unacknowledged";
    if (!r.ran) {
      Say("  %-15s did not run\n", name);
      rc = 1;
      continue;
    }
    Say("  %-15s %9.4f %8.0f ms %8.0f ms %8.0f ms %9lld %11ld %+9.3f MB/min\n", name, r.deliveredShare,
        r.medianAge * 1000, r.p99Age * 1000, r.maxAge * 1000, r.backwards + r.ahead,
        r.stale + r.cellMismatch + r.cachedMismatch, r.memoryTrendMBPerMin);
    rc = std::max(rc, r.rc);
  }
  if (runs.size() == 2 && runs[0].ran && runs[1].ran && runs[0].p99Age > 0)
    Say("  p99 age, acknowledged / unacknowledged: %.3f\n", runs[1].p99Age / runs[0].p99Age);
  return rc;
}

// ---- start-up --------------------------------------------------------------------------------

// This program's own DDE set-up of the same cells: every request, then every hot link.
double BareSetup(long n, long& failures) {
  DdeSide dde;
  if (!dde.Connect("Excel", "Start")) {
    failures += n;
    return 0;
  }
  const double t0 = Now();
  for (long i = 1; i <= n; ++i)
    if (!dde.Request("R" + std::to_string(i) + "C2")) ++failures;
  for (long i = 1; i <= n; ++i)
    if (!dde.Advise("R" + std::to_string(i) + "C2")) ++failures;
  const double took = Now() - t0;
  for (long i = 1; i <= n; ++i) dde.Unadvise("R" + std::to_string(i) + "C2");
  return took;
}

struct StartupRound {
  double bare = 0, ddePhase = 0, whole = 0, memMB = 0;
};

bool TessarelSetup(long n, const std::string& workbook, StartupRound& r,
                   const std::string& binDir) {
  wintest::TempFolder dir("ddelink_startup");
  WriteTessarelIni(dir, workbook, 1000);
  WriteTags(dir, "Start", n, 2);
  TessarelRun t(binDir, dir.Path());
  if (!t.Start()) return false;
  auto first = t.WaitLog("DDE Request: ", 300, 0.002);
  auto ok = first ? t.WaitLog("ConnectToDdeServer: OK for Excel,start", 600, 0.002) : std::nullopt;
  if (!first || !ok) {
    Say("  Tessarel did not set up its DDE links; its log:\n%s\n", t.LogText().c_str());
    return false;
  }
  r.ddePhase = *ok - *first;
  r.whole = *ok - t.Started();
  r.memMB = t.MemoryMB().first;
  OpcSide opc;
  std::vector<std::pair<double, WORD>> values;
  HRESULT hr = opc.Connect(kProgId, 1000, {L"T" + std::to_wstring(n)});
  if (FAILED(hr) || !opc.ReadAll(values) || values[0].second != OPC_QUALITY_GOOD) {
    Say("  the last tag does not read good (0x%08lX)\n", static_cast<unsigned long>(hr));
    return false;
  }
  EndTessarel(t, opc);
  return true;
}

int Startup(int argc, char** argv) {
  std::vector<long> sizes = Numbers(Arg(argc, argv, "--tags", "1000,10000"));
  const int rounds = std::max(1, std::atoi(Arg(argc, argv, "--rounds", "3").c_str()));
  // Another build's Tessarel.exe (its folder), run in every round beside this one's: a
  // before/after comparison in one run.
  const std::string against = Arg(argc, argv, "--against", "");
  struct Row {
    long n;
    std::vector<double> bare, dde, whole, ratio, mem, otherDde, otherRatio;
  };
  std::vector<Row> rows;
  long failures = 0;
  const int parts = against.empty() ? 2 : 3;
  for (long n : sizes) {
    if (n < 1) continue;
    Say("startup: %ld tags, %d rounds\n", n, rounds);
    wintest::TempFolder book("ddelink_startbook");
    Spreadsheet sheet(book.Path(), "Start", n,
                      [](long i) { return std::to_string(i) + "," + std::to_string(i) + ".25"; });
    Row row{n, {}, {}, {}, {}, {}, {}, {}};
    for (int k = 0; k < rounds; ++k) {
      // The parts take turns going first, so none always meets a fresher spreadsheet.
      StartupRound r, other;
      for (int step = 0; step < parts; ++step) {
        const int part = (step + k) % parts;
        if (part == 0) {
          r.bare = BareSetup(n, failures);
        } else if (!TessarelSetup(n, sheet.Path(), part == 1 ? r : other,
                                  part == 1 ? gBin : against)) {
          return 1;
        }
      }
      Say("  round %d: bare %.3f s, Tessarel's DDE phase %.3f s (ratio %.2f), whole start-up %.3f s\n",
          k + 1, r.bare, r.ddePhase, r.ddePhase / r.bare, r.whole);
      if (!against.empty())
        Say("           the other build's DDE phase %.3f s (ratio %.2f)\n", other.ddePhase,
            other.ddePhase / r.bare);
      row.bare.push_back(r.bare);
      row.dde.push_back(r.ddePhase);
      row.whole.push_back(r.whole);
      row.ratio.push_back(r.ddePhase / r.bare);
      row.mem.push_back(r.memMB);
      row.otherDde.push_back(other.ddePhase);
      row.otherRatio.push_back(other.ddePhase / r.bare);
    }
    rows.push_back(row);
  }
  Say("\nstart-up against the bare DDE round trips of the same cells (medians of the rounds)\n");
  Say("    tags | bare requests+advises | Tessarel DDE phase | ratio | per tag (ms) bare / Tessarel | whole start-up | Tessarel memory\n");
  for (auto& r : rows)
    Say("  %6ld | %17.3f s   | %14.3f s   | %5.2f | %10.3f / %.3f          | %10.3f s   | %.1f MB\n", r.n,
        Percentile(r.bare, 50), Percentile(r.dde, 50), Percentile(r.ratio, 50),
        Percentile(r.bare, 50) * 1000 / r.n, Percentile(r.dde, 50) * 1000 / r.n,
        Percentile(r.whole, 50), Percentile(r.mem, 50));
  if (!against.empty()) {
    Say("\nthe build in %s, in the same rounds\n", against.c_str());
    Say("    tags | its DDE phase | ratio to bare | this build's phase / its phase\n");
    for (auto& r : rows)
      Say("  %6ld | %11.3f s | %13.2f | %.2f\n", r.n, Percentile(r.otherDde, 50),
          Percentile(r.otherRatio, 50), Percentile(r.dde, 50) / Percentile(r.otherDde, 50));
  }
  if (rows.size() >= 2)
    Say("growth from %ld to %ld tags: bare x%.2f, Tessarel's DDE phase x%.2f (x%.0f would be linear)\n",
        rows[0].n, rows.back().n, Percentile(rows.back().bare, 50) / Percentile(rows[0].bare, 50),
        Percentile(rows.back().dde, 50) / Percentile(rows[0].dde, 50),
        static_cast<double>(rows.back().n) / static_cast<double>(rows[0].n));
  if (failures) Say("bare DDE failures: %ld\n", failures);
  return failures ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  gBin = self;
  gBin.resize(gBin.find_last_of("\\/"));
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode != "latency" && mode != "soak" && mode != "startup") {
    std::fprintf(stderr,
                 "usage: ddelink_bench latency [--samples N] [--configs TICK/RATE,...]\n"
                 "       ddelink_bench soak [--tags N] [--seconds S] [--period P] [--tick MS] [--rate MS] [--ack off|on|both]\n"
                 "       ddelink_bench startup [--tags N,...] [--rounds R] [--against OTHER_BIN_DIR]\n");
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  int rc = 1;
  try {
    rc = mode == "latency" ? Latency(argc, argv) : mode == "soak" ? Soak(argc, argv) : Startup(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ddelink_bench: %s\n", e.what());
  }
  CoUninitialize();
  return rc;
}
