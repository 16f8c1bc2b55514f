#include "catalogue/classes.h"

EventClass class_of(const ClassSigns& signs) {
  if (signs.moving) return EventClass::moving;
  if (signs.off_moon) return EventClass::off_moon;
  if (signs.sunlit) return EventClass::sunlit;
  if (signs.edge) return EventClass::edge;
  if (signs.hot_pixel) return EventClass::hot_pixel;
  if (signs.sharp) return EventClass::sharp;
  if (signs.scattered) return EventClass::scattered;
  return EventClass::flash;
}

const char* event_class_name(EventClass verdict) {
  switch (verdict) {
    case EventClass::flash:
      return "flash";
    case EventClass::moving:
      return "moving";
    case EventClass::edge:
      return "edge";
    case EventClass::off_moon:
      return "off_moon";
    case EventClass::sunlit:
      return "sunlit";
    case EventClass::hot_pixel:
      return "hot_pixel";
    case EventClass::sharp:
      return "sharp";
    case EventClass::scattered:
      return "scattered";
  }
  return "";
}
