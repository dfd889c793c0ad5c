// One configured Excel macro, run every PeriodSec ticks of the one-second macro timer.
#pragma once
#include <string>

class cMacro {
 public:
  cMacro(std::string name, long periodSec) : MacroName(std::move(name)) { SetPeriodSec(periodSec); }

  std::string MacroName;
  long PeriodSec() const { return period_; }
  void SetPeriodSec(long seconds) {
    if (seconds >= 1) period_ = seconds;  // a value below 1 is ignored
  }
  // Counts one tick; true (and the count starts again) when the period is reached.
  bool QueryRun() {
    if (++ticks_ >= period_) {
      ticks_ = 0;
      return true;
    }
    return false;
  }

 private:
  long period_ = 1;
  long ticks_ = 0;
};
