// 8-bit PNG files (grey or RGB) written with libpng, through a temporary name and a rename.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "base/frame_geometry.h"

// Pixels of one picture, row 0 at the top, rows unpadded; `channels` 1 (grey) or 3 (red, green,
// blue, one byte each). The caller owns the pixels.
struct PngImageView {
  int width = 0;
  int height = 0;
  int channels = 1;
  std::span<const std::uint8_t> pixels;  // width * height * channels bytes
};

// Writes `image` as an 8-bit PNG to "<path>.part", closes it and renames it to `path`, so an
// older file at `path` is either kept whole or replaced whole. False with `error` naming the file
// when the image is malformed (a side outside 1 to kMaxFrameSide, channels not 1 or 3, a pixel span
// of the wrong size), or when libpng, a write, the close or the rename fails; the part file is
// then removed.
bool write_png_file(const std::filesystem::path& path, const PngImageView& image,
                    std::string* error);

// A picture read back from a PNG file: 8 bits per channel, row 0 at the top, rows unpadded.
struct PngImage {
  int width = 0;
  int height = 0;
  int channels = 1;                  // 1 grey, 3 RGB
  std::vector<std::uint8_t> pixels;  // width * height * channels bytes
};

// Reads the PNG file `path` into `image`: grey files (with or without alpha) as 1 channel, every
// other kind as 3 (alpha composed over black). Sides above `max_side` are refused before the
// pixels are allocated. False with `error` naming the file when it is not a regular file, cannot
// be opened, is no PNG, is too large or is damaged; `image` is then empty.
bool read_png_file(const std::filesystem::path& path, int max_side, PngImage& image,
                   std::string* error);

// What the header of a PNG file states, read without decoding its pixels.
struct PngHeader {
  int width = 0;  // as stated, up to 2^31 - 1
  int height = 0;
  bool colour = false;       // colour or palette pixels
  bool alpha = false;        // an alpha channel or a transparent colour
  bool sixteen_bit = false;  // 16 bits per sample
};

// Reads the PNG in `file` (open, at its start; `name` in messages): its header into `header`,
// then, only when it is grey (no alpha, at most 8 bits a pixel) of `width` x `height` pixels,
// those pixels, one byte each, into `pixels`. Nothing is allocated for a file of another kind or
// size: `pixels` is then empty and the caller says what is wrong. False with `error` naming the
// file when it is no PNG or is damaged or truncated.
bool read_grey_png(std::FILE* file, const std::string& name, int width, int height,
                   PngHeader& header, std::vector<std::uint8_t>& pixels, std::string* error);
