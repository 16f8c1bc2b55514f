#include "moon/time_scales.h"

#include <erfa.h>
#include <erfam.h>

#include <cmath>

bool instant_from_utc(const CivilUtc& utc, Instant* instant, std::string* warning,
                      std::string* error) {
  if (utc.year < 1960) {
    *error = "UTC date before 1960, where the leap-second table starts";
    return false;
  }
  if (!(utc.second >= 0.0 && utc.second < 61.0)) {
    *error = "UTC second out of range";
    return false;
  }
  // The whole seconds go through eraDtf2d, the fraction is added after: eraDtf2d refuses a
  // second of 60.x on a day without a leap second, which is what should happen.
  double d1 = 0.0;
  double d2 = 0.0;
  int status =
      eraDtf2d("UTC", utc.year, utc.month, utc.day, utc.hour, utc.minute, utc.second, &d1, &d2);
  if (status < 0 || status >= 2) {  // 2, 3: a second past the end of the day
    *error = "not a UTC date ERFA can take";
    return false;
  }
  if (status == 1) *warning = "UTC date beyond the leap-second table; its last offset is used";
  Instant t;
  t.utc1 = d1;
  t.utc2 = d2;
  double tai1 = 0.0;
  double tai2 = 0.0;
  status = eraUtctai(d1, d2, &tai1, &tai2);
  if (status < 0) {
    *error = "not a UTC date ERFA can take";
    return false;
  }
  if (status == 1) *warning = "UTC date beyond the leap-second table; its last offset is used";
  if (eraTaitt(tai1, tai2, &t.tt1, &t.tt2) != 0) {
    *error = "TT conversion failed";
    return false;
  }
  t.ut1_1 = d1;
  t.ut1_2 = d2;
  double leap = 0.0;
  eraDat(utc.year, utc.month, utc.day, 0.0, &leap);
  t.tt_minus_utc = leap + 32.184;
  *instant = t;
  return true;
}

double julian_centuries_tt(const Instant& instant) {
  return ((instant.tt1 - ERFA_DJ00) + instant.tt2) / ERFA_DJC;
}
