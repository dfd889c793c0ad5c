// Arithmetic on OLE Automation dates (days since 1899-12-30; the fraction is the time of day).
// Standard C++ only.
#pragma once

namespace veltrane {

// One millisecond in days (1 / 86,400,000).
inline constexpr double kDaysPerMillisecond = 1.1574074074074074e-8;

// `date` moved `milliseconds` later in the day. Dates before 1899-12-30 are negative with a
// positive time fraction (-1.25 is 1899-12-29 06:00), so for them the milliseconds are
// subtracted from the value; otherwise added.
double AddMilliseconds(double date, unsigned milliseconds) noexcept;

}  // namespace veltrane
