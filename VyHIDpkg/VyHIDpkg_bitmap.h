// The palette image of TVyHID: a USB plug drawn as text, turned into a
// 24 x 24, 24-bit .bmp file at compile time.
#pragma once

#include <array>
#include <cstdint>

namespace vyhid::pkg {

inline constexpr int kBitmapSize = 24;
inline constexpr std::size_t kBmpStride = std::size_t{kBitmapSize} * 3;  // already a multiple of 4
inline constexpr std::size_t kBmpHeaderSize = 14 + 40;
inline constexpr std::size_t kBmpFileSize = kBmpHeaderSize + kBmpStride * kBitmapSize;

// Top row first. '.' background, 'M' metal, 'K' contact openings, 'B' plug
// body, 'W' the USB trident, 'C' cable.
inline constexpr const char* kPlugArt[kBitmapSize] = {
    "........................",  //
    ".......MMMMMMMMMM.......",  //
    ".......M........M.......",  //
    ".......M.KK..KK.M.......",  //
    ".......M.KK..KK.M.......",  //
    ".......M........M.......",  //
    ".......MMMMMMMMMM.......",  //
    "......BBBBBBBBBBBB......",  //
    "......BBBBBWWBBBBB......",  //
    "......BBBBWWWWBBBB......",  //
    "......BBBBBWWBBBBB......",  //
    "......BBWBBWWBBWBB......",  //
    "......BWWWBWWBWWWB......",  //
    "......BBWBBWWBBWBB......",  //
    "......BBBWWWWWWBBB......",  //
    "......BBBBBWWBBBBB......",  //
    "......BBBBWWWWBBBB......",  //
    "......BBBBBWWBBBBB......",  //
    ".......BBBBBBBBBB.......",  //
    "........BBBBBBBB........",  //
    "..........CCCC..........",  //
    "..........CCCC..........",  //
    "..........CCCC..........",  //
    "..........CCCC..........",  //
};

struct Rgb {
  std::uint8_t r, g, b;
};

constexpr Rgb ColourOf(char c) {
  switch (c) {
    case 'M':
      return {176, 180, 188};
    case 'K':
      return {40, 40, 48};
    case 'B':
      return {24, 64, 160};
    case 'W':
      return {255, 255, 255};
    case 'C':
      return {64, 64, 64};
    default:
      return {236, 233, 216};  // background
  }
}

constexpr std::array<std::uint8_t, kBmpFileSize> MakePlugBmp() {
  std::array<std::uint8_t, kBmpFileSize> bmp{};
  std::size_t at = 0;
  auto put = [&](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) bmp[at++] = static_cast<std::uint8_t>(value >> (8 * i));
  };
  // BITMAPFILEHEADER
  put('B', 1);
  put('M', 1);
  put(static_cast<std::uint32_t>(kBmpFileSize), 4);
  put(0, 4);
  put(static_cast<std::uint32_t>(kBmpHeaderSize), 4);
  // BITMAPINFOHEADER: positive height, rows bottom-up; uncompressed.
  put(40, 4);
  put(kBitmapSize, 4);
  put(kBitmapSize, 4);
  put(1, 2);
  put(24, 2);
  put(0, 4);
  put(static_cast<std::uint32_t>(kBmpStride * kBitmapSize), 4);
  put(2835, 4);  // 72 dpi
  put(2835, 4);
  put(0, 4);
  put(0, 4);
  for (int row = kBitmapSize - 1; row >= 0; --row) {
    for (int x = 0; x < kBitmapSize; ++x) {
      const Rgb c = ColourOf(kPlugArt[row][x]);
      bmp[at++] = c.b;
      bmp[at++] = c.g;
      bmp[at++] = c.r;
    }
  }
  return bmp;
}

constexpr bool ArtIsSquare() {
  for (const char* row : kPlugArt) {
    int n = 0;
    while (row[n] != '\0') ++n;
    if (n != kBitmapSize) return false;
  }
  return true;
}
static_assert(ArtIsSquare(), "every row of the palette image is 24 pixels");

}  // namespace vyhid::pkg
