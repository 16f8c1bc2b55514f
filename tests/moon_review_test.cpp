// flashes.csv is read with the place columns of a run with a site, and without them.
#include <gtest/gtest.h>

#include "formats/flashes_csv.h"
#include "test_support.h"

namespace {

const std::string kOld =
    "event,frame,frames,utc,seconds,x,y,peak,flux,flux_err,snr,m_inst,saturated,motion,fields,"
    "class,report\n";
const std::string kLine = "1,80,1,,,110.02,129.98,123.81,1082.61,10.41,103.98,-7.59,0,0.00,,";

TEST(MoonReview, ReadsPlacesAndTheNewClasses) {
  ScratchDir dir;
  struct Case {
    const char* name;
    std::string text;
    bool ok;
    bool placed;
    std::string error;
  } const cases[] = {
      {"an older catalogue", kOld + kLine + "flash,\n", true, false, ""},
      {"a place",
       kOld.substr(0, kOld.size() - 1) + ",fwhm,optics_fwhm,ring,lat,lon,lat_err,lon_err\n" +
           kLine + "flash,,,,,-10.051,-20.325,0.068,0.067\n",
       true, true, ""},
      {"off the Moon, no place",
       kOld.substr(0, kOld.size() - 1) + ",fwhm,optics_fwhm,ring,lat,lon,lat_err,lon_err\n" +
           kLine + "off_moon,,,,,,,,\n",
       true, false, ""},
      {"a bad latitude",
       kOld.substr(0, kOld.size() - 1) + ",fwhm,optics_fwhm,ring,lat,lon,lat_err,lon_err\n" +
           kLine + "sunlit,,,,,north,-20.325,0.068,0.067\n",
       false, false, "column lat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_text("f.csv", c.text);
    std::vector<FlashRow> events;
    std::string error;
    ASSERT_EQ(read_flashes_csv(in_scratch("f.csv"), events, &error), c.ok) << error;
    if (!c.ok) {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      continue;
    }
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].lat.has_value(), c.placed);
    if (c.placed) {
      EXPECT_DOUBLE_EQ(*events[0].lon, -20.325);
      EXPECT_DOUBLE_EQ(*events[0].lon_err, 0.067);
    }
  }
}

}  // namespace
