// Writes the 56-byte report header template bmpheader.dat: a BITMAPFILEHEADER (14 bytes) and a
// BITMAPINFOHEADER (40 bytes) for a 24-bit uncompressed picture whose pixels start at byte 56,
// followed by two zero bytes. VESK overwrites the width (bytes 18-21) and height (22-25) for every
// run; the size fields describe a 720 x 576 frame with its 40-row strip, as a reference only.
//
// Usage: make_bmpheader OUTPUT
#include <cstdint>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_bmpheader OUTPUT\n");
    return 1;
  }
  std::uint8_t h[56] = {};
  auto put16 = [&](int at, std::uint32_t v) {
    h[at] = v & 0xff;
    h[at + 1] = (v >> 8) & 0xff;
  };
  auto put32 = [&](int at, std::uint32_t v) {
    put16(at, v & 0xffff);
    put16(at + 2, v >> 16);
  };
  const std::uint32_t width = 720, height = 576 + 40;
  const std::uint32_t image_bytes = 3 * width * height;
  h[0] = 'B';
  h[1] = 'M';
  put32(2, 56 + image_bytes);  // bfSize
  put32(10, 56);               // bfOffBits: pixels right after the 56 header bytes
  put32(14, 40);               // biSize
  put32(18, width);            // biWidth (patched by VESK)
  put32(22, height);           // biHeight, positive: bottom-up rows (patched by VESK)
  put16(26, 1);                // biPlanes
  put16(28, 24);               // biBitCount: three equal bytes per grey pixel
  put32(30, 0);                // biCompression: BI_RGB
  put32(34, image_bytes);      // biSizeImage
  put32(38, 2835);             // 72 dpi
  put32(42, 2835);
  // biClrUsed, biClrImportant and the two trailing bytes stay 0.
  std::FILE* f = std::fopen(argv[1], "wb");
  if (f == nullptr || std::fwrite(h, 1, sizeof h, f) != sizeof h || std::fclose(f) != 0) {
    std::fprintf(stderr, "%s: cannot write\n", argv[1]);
    return 1;
  }
  return 0;
}
