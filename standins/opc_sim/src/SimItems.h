// The simulated item tree of SimServer and what makes it move: ramps, sines and random values
// advance on every tick, registers keep what clients write, and a few items carry fixed bad or
// uncertain qualities. The tree lives in a toolkit tag space; this class only fills and drives it,
// so it runs the same in process (tests) and in the served program.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <opc_toolkit/ServerToolkit.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace opc_sim {

// The depth of the Deep branch: Deep.L01 ... Deep.L01.(...).L60, each with a Depth leaf.
constexpr int kDeepLevels = 60;

// The element types every branch of the tree has one item of.
const std::vector<VARTYPE>& SimulatedTypes();
// "I1", "UI4", "BSTR", ... as used in the item names.
std::wstring TypeSuffix(VARTYPE vt);
// Item ID of the Depth leaf at a level of the deep branch (1 .. kDeepLevels).
std::wstring DeepItemId(int level);

class SimItems {
 public:
  explicit SimItems(opc_toolkit::IServedTags& tags, uint32_t seed = 1);

  // Adds the whole tree; S_OK, or the first failure of the tag space.
  HRESULT Populate();
  // One simulation step: elapsedSeconds since the start drives the sines, every step moves
  // ramps and random values and the clock items.
  void Tick(double elapsedSeconds);
  // A client's write of one item (its value already in the item's type): S_OK when kept.
  // Items that are not writable never reach here (the toolkit checks the access rights).
  HRESULT Write(const wchar_t* itemId, const VARIANT& value);

  long Ticks() const { return ticks_; }
  // The last value written to Access.WriteOnly (its own value is never shown).
  const VARIANT& LastWriteOnlyValue() const { return writeOnlyLast_; }

 private:
  enum class Kind { Ramp, Sine, Random, RandomArray, Clock, Seconds };
  struct Moving {
    opc_toolkit::IServedTag* tag;
    Kind kind;
    VARTYPE vt;
    double period;  // sines: seconds per cycle
  };
  HRESULT Add(const std::wstring& id, long rights, VARIANT value, short quality = 192);
  HRESULT AddMoving(const std::wstring& id, Kind kind, VARTYPE vt, double period = 0);
  void Set(const Moving& m, VARIANT value);
  // The quality last written to Quality.SettableQuality (good until one was written).
  short SettableQuality();

  opc_toolkit::IServedTags& tags_;
  std::mt19937 random_;
  std::vector<Moving> moving_;
  long ticks_ = 0;
  VARIANT writeOnlyLast_;

 public:
  ~SimItems();
  SimItems(const SimItems&) = delete;
  SimItems& operator=(const SimItems&) = delete;
};

// Value helpers shared with the tests: a scalar of the type from a number (strings, dates and
// booleans take a natural form of it), and a one-dimensional array of n such values.
VARIANT MakeScalar(VARTYPE vt, double x);
VARIANT MakeArray(VARTYPE vt, int n, double first);

}  // namespace opc_sim
