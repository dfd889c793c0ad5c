// Many moving items for load runs: Bulk.0001 .. Bulk.N (R8), each set to (step count x its own
// number) on every step, so a reader can tell from any value which step it belongs to. The
// program steps them once a second from a timer of their own. Bulk.Steps (I4) is the step count;
// Bulk.Running (BOOL, read-write, starts true) holds the values still while a client sets it
// false, so a run can compare its copies against values that no longer move.
#pragma once

#include <windows.h>

#include <opc_toolkit/ServerToolkit.h>

#include <string>
#include <vector>

namespace opc_sim {

// Item ID of bulk item number i (from 1): Bulk.0001, ..., Bulk.12345 (at least four digits).
std::wstring BulkItemId(long i);

class BulkItems {
 public:
  BulkItems(opc_toolkit::IServedTags& tags, long count) : tags_(tags), count_(count) {}

  // Adds Bulk.Steps, Bulk.Running and the N items (all 0, good); S_OK or the first failure.
  HRESULT Populate();
  // One step: unless Bulk.Running is false, the step count goes up by one and every item takes
  // (step count x its number). False when the values were held.
  bool Step();
  long Steps() const { return steps_; }

 private:
  bool Running() const;

  opc_toolkit::IServedTags& tags_;
  long count_;
  long steps_ = 0;
  std::vector<opc_toolkit::IServedTag*> items_;
  opc_toolkit::IServedTag* stepsTag_ = nullptr;
  opc_toolkit::IServedTag* runningTag_ = nullptr;
};

}  // namespace opc_sim
