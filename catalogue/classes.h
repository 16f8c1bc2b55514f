// The class of a catalogue row. A row can show several signs at once (a glint that crosses the
// limb, a hot pixel on a steep slope); it takes the first in one fixed order, from the most
// certain explanation to the least: moving, off_moon, sunlit, edge, hot_pixel, sharp, scattered,
// and flash when none applies. Every part of the catalogue that classes a row does it through
// class_of. Pure computation: no I/O.
#pragma once

enum class EventClass { flash, moving, edge, off_moon, sunlit, hot_pixel, sharp, scattered };

// The signs a row shows; each part of the catalogue sets its own.
struct ClassSigns {
  bool moving = false;     // its reports step along a track
  bool off_moon = false;   // its site lies beyond the Moon's limb
  bool sunlit = false;     // its site lies on the sunlit side
  bool edge = false;       // its site lies on a steep slope or by a saturated pixel of the mean
  bool hot_pixel = false;  // its pixel reports in kLeastHotPixelEvents or more events of the run
  bool sharp = false;      // narrower than the optics can draw (a cosmic ray)
  bool scattered = false;  // a cluster of a frame the scatter test rejected
};

// Events at one pixel from which that pixel counts as hot.
inline constexpr int kLeastHotPixelEvents = 3;

// The first sign of `signs` in the order above; flash when it shows none.
EventClass class_of(const ClassSigns& signs);

// "flash", "moving", "edge", "off_moon", "sunlit", "hot_pixel", "sharp", "scattered".
const char* event_class_name(EventClass verdict);
