// Time scales for the ephemerides: UTC as the recording gives it, TT for the Moon's and the Sun's
// positions, UT1 (taken as UTC, within a second) for the Earth's rotation. Pure computation.
#pragma once

#include <string>

// A civil UTC time: calendar fields and the seconds of the minute (0 to below 61 in a leap
// second).
struct CivilUtc {
  int year = 2000;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  double second = 0.0;
};

// One instant on the scales the geometry needs, each as an ERFA two-part Julian date.
struct Instant {
  double utc1 = 0.0, utc2 = 0.0;
  double tt1 = 0.0, tt2 = 0.0;
  double ut1_1 = 0.0, ut1_2 = 0.0;  // UT1 = UTC: its error (under 0.9 s) moves the Moon 0.004'
  double tt_minus_utc = 0.0;        // seconds: leap seconds + 32.184
};

// The instant of `utc`. A date past the leap-second table's reach gives the table's last
// offset and a one-line `warning` (the result is still used: a leap second is rare and
// announced); a date ERFA cannot take (before 1960, a bad calendar field) gives false and
// `error`.
bool instant_from_utc(const CivilUtc& utc, Instant* instant, std::string* warning,
                      std::string* error);

// Julian centuries of TT since J2000.0.
double julian_centuries_tt(const Instant& instant);
