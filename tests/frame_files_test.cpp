#include "imaging/frame_files.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <memory>

#include "sources/frame_folder.h"
#include "test_support.h"

TEST(FrameFiles, NumberedFileNames) {
  struct Case {
    const char* pattern;
    int number;
    const char* name;
  };
  const std::vector<Case> cases = {
      {kRawFramePattern, 0, "BMP_RAW/a00000.bmp"},
      {kRawFramePattern, 7, "BMP_RAW/a00007.bmp"},
      {kRawFramePattern, 99998, "BMP_RAW/a99998.bmp"},
      {kReportPattern, 42, "BMP_FLASHES/00042.bmp"},
      {kReportPattern, 1234, "BMP_FLASHES/01234.bmp"},
  };
  for (const Case& c : cases) EXPECT_EQ(numbered_file_name(c.pattern, c.number), c.name);
}

TEST(FrameFiles, ReportHeaderCarriesTheGeometry) {
  ScratchDir dir;
  std::filesystem::copy_file(std::string(VESK_DATA_DIR) + "/bmpheader.dat",
                             in_scratch("bmpheader.dat"));
  const std::vector<std::uint8_t> template_bytes = read_file("bmpheader.dat");
  ASSERT_EQ(template_bytes.size(), 56u);
  write_raw_frame(0, 720, 576, std::vector<std::uint8_t>(720 * 576, 9));

  std::vector<std::uint8_t> scratch(54), header(56);
  FrameGeometry g;
  std::string error;
  ASSERT_TRUE(read_frame_geometry(scratch_folder(), scratch, g, &error)) << error;
  EXPECT_EQ(g.image_width, 720);
  EXPECT_EQ(g.image_height, 576);
  EXPECT_EQ(g.frame_pixels, 720 * 576);
  ASSERT_TRUE(load_report_header(scratch_folder(), header, g.image_width, g.image_height, &error))
      << error;

  std::vector<std::uint8_t> expected = template_bytes;  // only bytes 18-25 change
  const std::uint8_t geometry_bytes[8] = {0xd0, 0x02, 0, 0, 0x68, 0x02, 0, 0};  // 720, 616
  std::copy(std::begin(geometry_bytes), std::end(geometry_bytes), expected.begin() + 18);
  EXPECT_EQ(header, expected);
}

// The shipped template declares a 24-bit picture whose pixels start right after its 56 bytes.
TEST(FrameFiles, ShippedTemplateDeclaresTheReportLayout) {
  const std::vector<std::uint8_t> t = read_file(std::string(VESK_DATA_DIR) + "/bmpheader.dat");
  ASSERT_EQ(t.size(), 56u);
  EXPECT_EQ(t[0], 'B');
  EXPECT_EQ(t[1], 'M');
  EXPECT_EQ(t[10], 56);                         // pixel data offset
  EXPECT_EQ(t[14], 40);                         // info header size
  EXPECT_EQ(t[28], 24);                         // bits per pixel
  EXPECT_EQ(t[30] | t[31] | t[32] | t[33], 0);  // no compression
}

// The frame folder reads frames in order from frame 0, each straight into the destination.
TEST(FrameFolder, ReadsEachFrameOnceInOrder) {
  ScratchDir dir;
  const int w = 4, h = 3;
  std::vector<std::uint8_t> payload(w * h);
  for (int i = 0; i < w * h; ++i) payload[i] = static_cast<std::uint8_t>(10 + i);
  write_raw_frame(0, w, h, payload);
  // Frame 1 states another size and has more bytes than one frame: still read as 4 x 3 from 54.
  write_raw_frame(1, 100, 100, [&] {
    std::vector<std::uint8_t> longer = payload;
    longer.resize(40, 0xee);
    return longer;
  }());
  // Frame 2 has a colour table after its header: its bytes are read as the first pixels.
  std::vector<std::uint8_t> with_table(4 + payload.size());
  for (std::size_t i = 0; i < with_table.size(); ++i) {
    with_table[i] = i < 4 ? static_cast<std::uint8_t>(i + 1) : payload[i - 4];
  }
  write_raw_frame(2, w, h, with_table);
  // Frame 3 stops after 5 payload bytes.
  write_raw_frame(3, w, h, std::vector<std::uint8_t>(payload.begin(), payload.begin() + 5));

  std::string error;
  const std::unique_ptr<FrameSource> source = open_frame_folder(scratch_folder(), &error);
  ASSERT_NE(source, nullptr) << error;
  EXPECT_EQ(source->geometry().frame_pixels, w * h);
  struct Case {
    FrameStatus status;
    std::size_t bytes;
    std::vector<std::uint8_t> expected;
    std::string warning;
    std::string reason;
  };
  const std::vector<std::uint8_t> colour_table_read(with_table.begin(), with_table.begin() + w * h);
  std::vector<std::uint8_t> short_read(w * h, 0x77);
  std::copy(payload.begin(), payload.begin() + 5, short_read.begin());
  const std::vector<Case> cases = {
      {FrameStatus::frame, 12, payload, "", ""},
      {FrameStatus::frame, 12, payload,
       "BMP_RAW/a00001.bmp: header states 100 x 100, read as 4 x 3 like frame 0 (later frames "
       "are not checked)",
       ""},
      {FrameStatus::frame, 12, colour_table_read, "", ""},
      {FrameStatus::frame, 5, short_read, "BMP_RAW/a00003.bmp: truncated, 59 of 66 bytes", ""},
      {FrameStatus::end, 0, std::vector<std::uint8_t>(w * h, 0x77), "",
       "BMP_RAW/a00004.bmp: cannot open: No such file or directory"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    std::vector<std::uint8_t> destination(w * h, 0x77);
    const FrameRead read = source->read_next(destination);
    EXPECT_EQ(read.status, c.status);
    EXPECT_EQ(read.bytes, c.bytes);
    EXPECT_EQ(destination, c.expected);
    EXPECT_EQ(read.warning, c.warning);
    EXPECT_EQ(read.reason, c.reason);
  }
}

// The header every writer of frame files uses.
TEST(FrameFiles, RawFrameHeaderFields) {
  std::array<std::uint8_t, kFrameHeaderBytes> header;
  header.fill(0xee);
  write_raw_frame_header(header, 720, 576);
  const std::uint8_t expected[kFrameHeaderBytes] = {
      'B',  'M',  0x36, 0x54, 0x06, 0,    0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0,
      0xd0, 0x02, 0,    0,    0x40, 0x02, 0, 0, 1, 0, 8,  0, 0, 0, 0,  0, 0, 0x54,
      0x06, 0,    0,    0,    0,    0,    0, 0, 0, 0, 0,  0, 0, 0, 0,  0, 0, 0};
  EXPECT_TRUE(std::equal(header.begin(), header.end(), std::begin(expected)));
}
