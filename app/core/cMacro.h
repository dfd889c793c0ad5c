// One configured Excel macro and its run period.
#pragma once
#include <string>

class cMacro {
 public:
  cMacro(std::string name, long periodSeconds) : Name(std::move(name)), Period(periodSeconds) {}
  std::string Name;
  long Period;  // seconds, at least 1
};
