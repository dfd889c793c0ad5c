#include "portable/DateMath.h"

namespace veltrane {

double AddMilliseconds(double date, unsigned milliseconds) noexcept {
  double days = milliseconds * kDaysPerMillisecond;
  // Before 1899-12-30 the value is -(day + time): a later time is a more negative value.
  return date < 0.0 ? date - days : date + days;
}

}  // namespace veltrane
