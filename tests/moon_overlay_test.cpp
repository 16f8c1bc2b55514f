// What the review page draws of the Moon: the grid over a whole-frame picture and the sunlit part
// on the night map, checked against the projection they are drawn through; and the page's moon
// data from moon.csv, or the one line that says why there is none.
#include "review/moon_overlay.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "imaging/png_file.h"
#include "review/review_page.h"
#include "test_support.h"

namespace {

constexpr double kRad = M_PI / 180.0;

struct Pt {
  double x, y;
};

// The pieces of an SVG path of M, L and Z commands.
std::vector<std::vector<Pt>> pieces_of(const std::string& d) {
  std::vector<std::vector<Pt>> out;
  const char* p = d.c_str();
  while (*p != '\0') {
    const char command = *p++;
    if (command == 'Z') continue;
    double x = 0.0, y = 0.0;
    int used = 0;
    if (std::sscanf(p, "%lf %lf%n", &x, &y, &used) != 2) {
      ADD_FAILURE() << "bad path at " << p;
      break;
    }
    p += used;
    if (command == 'M') out.emplace_back();
    out.back().push_back({x, y});
  }
  return out;
}

DiscView test_view(bool mirror) {
  DiscView v;
  v.cx = 640.0;
  v.cy = 540.0;
  v.radius = 1000.0;
  v.rotation = mirror ? 30.0 : -30.0;
  v.mirror = mirror;
  v.lib_lon = -1.23;
  v.lib_lat = 4.20;
  v.axis_pa = 15.08;
  v.apparent_radius = 0.2617;  // 380,000 km
  return v;
}

bool near_multiple_of_ten(double degrees, double tolerance) {
  return std::fabs(degrees / 10.0 - std::round(degrees / 10.0)) * 10.0 < tolerance;
}

// Every point of the grid lies on a 10-degree line of latitude or longitude (the path's one
// decimal of a pixel is within 0.01 degrees of the place at 0.9 of the radius, R = 1000 px), and
// the lines that leave the visible hemisphere end on the limb.
TEST(MoonOverlay, GridLinesLieOnTenDegreeLinesAndEndAtTheLimb) {
  for (const bool mirror : {false, true}) {
    SCOPED_TRACE(mirror ? "mirrored" : "direct");
    const DiscView view = test_view(mirror);
    const auto pieces = pieces_of(grid_path(view, DrawingScale{}));
    ASSERT_GE(pieces.size(), 30u);
    int at_limb = 0, points = 0;
    for (const auto& piece : pieces) {
      for (const Pt& p : piece) {
        const double r = limb_distance(view, p.x, p.y);
        ASSERT_LE(r, 1.0 + 1e-4);
        if (r > 0.9) continue;
        LunarPlace place;
        ASSERT_TRUE(pixel_to_place(view, p.x, p.y, &place));
        EXPECT_TRUE(near_multiple_of_ten(place.lat, 0.01) || near_multiple_of_ten(place.lon, 0.01))
            << place.lat << ", " << place.lon;
        ++points;
      }
      for (const Pt& end : {piece.front(), piece.back()}) {
        if (std::fabs(limb_distance(view, end.x, end.y) - 1.0) < 1e-4) ++at_limb;
      }
    }
    EXPECT_GT(points, 200);
    // The 17 parallels cross the limb twice, as do the meridians in view (each at both ends).
    EXPECT_GE(at_limb, 2 * 17 + 2 * 17);
  }
}

// The sunlit part of the disc covers the illuminated fraction (1 + cos i) / 2 of it (exact in
// the orthographic view; the perspective one and 2-degree steps along the limb stay within
// 0.005), the Sun's side lit and the far side dark; new Moon draws nothing.
TEST(MoonOverlay, SunlitPartCoversTheIlluminatedFraction) {
  for (const bool mirror : {false, true}) {
    for (const double phase : {0.0, 25.0, 60.0, 90.0, 120.0, 155.0, 180.0}) {
      SCOPED_TRACE(std::string(mirror ? "mirrored" : "direct") + ", phase " +
                   std::to_string(phase));
      const DiscView view = test_view(mirror);
      // The sub-solar point `phase` degrees from the sub-observer point, towards the south-east.
      const double azimuth = 130.0 * kRad;
      const double lat0 = view.lib_lat * kRad, lon0 = view.lib_lon * kRad, c = phase * kRad;
      const double sun_lat = std::asin(std::sin(lat0) * std::cos(c) +
                                       std::cos(lat0) * std::sin(c) * std::cos(azimuth));
      const double sun_lon = lon0 + std::atan2(std::sin(azimuth) * std::sin(c) * std::cos(lat0),
                                               std::cos(c) - std::sin(lat0) * std::sin(sun_lat));
      const std::string d = lit_path(view, sun_lon / kRad, sun_lat / kRad, DrawingScale{});
      if (phase == 180.0) {
        EXPECT_EQ(d, "");
        continue;
      }
      const auto pieces = pieces_of(d);
      ASSERT_EQ(pieces.size(), 1u);
      const auto& outline = pieces[0];
      double area = 0.0;
      for (std::size_t k = 0; k < outline.size(); ++k) {
        const Pt& a = outline[k];
        const Pt& b = outline[(k + 1) % outline.size()];
        area += a.x * b.y - b.x * a.y;
      }
      const double fraction = std::fabs(area) / 2.0 / (M_PI * view.radius * view.radius);
      EXPECT_NEAR(fraction, (1.0 + std::cos(phase * kRad)) / 2.0, 0.005);
      // 70 degrees from the disc's centre towards the Sun is lit, away from it dark.
      const auto inside = [&](const LunarPlace& place) {
        double x = 0.0, y = 0.0;
        EXPECT_TRUE(place_to_pixel(view, place, &x, &y));
        bool in = false;
        for (std::size_t k = 0, j = outline.size() - 1; k < outline.size(); j = k++) {
          const Pt& a = outline[k];
          const Pt& b = outline[j];
          if ((a.y > y) != (b.y > y) && x < (b.x - a.x) * (y - a.y) / (b.y - a.y) + a.x) in = !in;
        }
        return in;
      };
      const auto towards = [&](double az) {
        const double s = 70.0 * kRad;
        const double lat =
            std::asin(std::sin(lat0) * std::cos(s) + std::cos(lat0) * std::sin(s) * std::cos(az));
        const double lon = lon0 + std::atan2(std::sin(az) * std::sin(s) * std::cos(lat0),
                                             std::cos(s) - std::sin(lat0) * std::sin(lat));
        return LunarPlace{lat / kRad, lon / kRad};
      };
      if (phase < 160.0) {
        EXPECT_TRUE(inside(towards(azimuth)));
      }
      if (phase > 20.0) {
        EXPECT_FALSE(inside(towards(azimuth + M_PI)));
      }
    }
  }
}

const std::string kFlashes =
    "event,frame,frames,utc,seconds,x,y,peak,flux,flux_err,snr,m_inst,saturated,motion,fields,"
    "class,report,fwhm,optics_fwhm,ring,lat,lon,lat_err,lon_err\n"
    "1,10,1,,,150.00,100.00,140.0,1064.4,6.0,177.4,-3.21,0,0.00,,flash,,,,,5.000,-3.000,0.1,0.1\n"
    "2,300,1,,,50.00,100.00,140.0,1064.4,6.0,177.4,-3.21,0,0.00,,off_moon,,,,,,,,\n";
const std::string kFitColumns =
    "frame,utc,cx,cy,radius,rotation,mirror,scale,cx_err,cy_err,radius_err,rotation_err,lib_lon,"
    "lib_lat,axis_pa,bright_limb_pa,illuminated,sun_lon,sun_lat,distance_km,moon_alt,arc_deg,"
    "fit_rms";

// The fit's line: a disc of radius 100 at (160, 120) in a 320 x 240 frame, `rotation` and
// `mirror` as given (empty for unknown).
std::string fit_line(int frame, const std::string& rotation, const std::string& mirror) {
  return std::to_string(frame) + ",2024-03-15T21:04:05.000Z,160.000,120.000,100.000," + rotation +
         "," + mirror +
         ",9.0,0.1,0.1,0.1,0.2,6.6,-5.2,-8.0,259.9,0.36,113.0,-0.5,376400.0,39.0,"
         "180.0,0.4,320,240\n";
}

// The page's "moon" object.
std::string moon_json(const std::string& page) {
  const std::size_t from = page.find("\"moon\":{");
  const std::size_t to = page.find("\n\"events\":[", from);
  if (from == std::string::npos || to == std::string::npos) return "";
  return page.substr(from, to - from);
}

TEST(MoonOverlay, PageSaysWhyThereIsNoMapOrDrawsIt) {
  ScratchDir dir;
  struct Case {
    const char* name;
    std::string moon_csv;  // "-": none
    std::string note;      // in the page's note; empty: a map
    std::string notice;    // in the result's notices
  } const cases[] = {
      {"no site", "-", "without the observer's site (--site)", ""},
      {"no fits", kFitColumns + ",width,height\n", "moon.csv holds no fit", ""},
      {"no mirror sense", kFitColumns + ",width,height\n" + fit_line(0, "12.0", ""),
       "whether the image is mirrored (--mirror)", ""},
      {"lit limb out of view", kFitColumns + ",width,height\n" + fit_line(0, "", "no"),
       "lit limb was out of view and no --rotation", ""},
      {"a bad line", kFitColumns + ",width,height\n0,2024-03-15T21:04:05.000Z,x\n",
       "moon.csv could not be read", "run/moon.csv:2:"},
      {"two fits",
       kFitColumns + ",width,height\n" + fit_line(0, "12.0", "no") + fit_line(250, "12.0", "no"),
       "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    std::filesystem::remove_all(in_scratch("run"));
    write_text("run/flashes.csv", kFlashes);
    // Both events' whole-frame pictures: the 320 x 240 frame halved.
    const std::vector<std::uint8_t> grey(160 * 120 * 3, 20);
    for (const char* name : {"run/review/e0001_frame.png", "run/review/e0002_frame.png"}) {
      std::filesystem::create_directories(in_scratch("run/review"));
      ASSERT_TRUE(write_png_file(in_scratch(name), PngImageView{160, 120, 3, grey}, &error));
    }
    if (c.moon_csv != "-") write_text("run/moon.csv", c.moon_csv);
    ReviewPageResult result;
    ASSERT_TRUE(write_review_page(in_scratch("run"), result, &error)) << error;
    const ReviewScript script = read_review_script(read_text("run/review/events.js"));
    ASSERT_TRUE(script.read);
    const std::string moon = moon_json(script.data);
    bool noticed = false;
    for (const std::string& n : result.notices) {
      noticed = noticed || (!c.notice.empty() && without_scratch(n).find(c.notice) == 0);
    }
    EXPECT_EQ(noticed, !c.notice.empty());
    if (!c.note.empty()) {
      EXPECT_NE(moon.find(c.note), std::string::npos) << moon;
      EXPECT_EQ(moon.find("\"map\""), std::string::npos) << moon;
      continue;
    }
    // The map from the fit nearest the middle event (event 2, frame 300).
    EXPECT_NE(moon.find("\"note\":null,\"map\":{\"frame\":250,"), std::string::npos) << moon;
    // The two fits draw the same grid: one grid in the page, on both cards.
    EXPECT_NE(moon.find("\"grids\":[\"M"), std::string::npos) << moon;
    EXPECT_EQ(moon.find("\",\n\"M"), std::string::npos) << moon;
    const std::string page = script.data + script.cards;
    std::size_t grids = 0;
    for (std::size_t at = page.find(",\"grid\":0}"); at != std::string::npos;
         at = page.find(",\"grid\":0}", at + 1)) {
      ++grids;
    }
    EXPECT_EQ(grids, 2u);
    // Both events on the map: event 1 at its place, event 2 (no place, 1.1 radii from the
    // centre) at its offset, turned into the map's orientation: the fits share it, so the mark
    // is the offset itself in map units.
    EXPECT_NE(page.find("{\"event\":1,"), std::string::npos);
    EXPECT_NE(page.find(",\"m\":[-1100,-200]}"), std::string::npos)
        << page.substr(page.find("{\"event\":2,"), 400);
  }
}

}  // namespace
