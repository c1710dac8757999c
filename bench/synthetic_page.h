//
// Synthetic grey pages for the benchmarks: the same pixels on every run and every machine.
//

#ifndef QUILLMARSH_BENCH_SYNTHETIC_PAGE_H
#define QUILLMARSH_BENCH_SYNTHETIC_PAGE_H

#include <cstdint>
#include <cstring>
#include <string>

// A pixel's noise: a 32-bit integer hash of its position, the same everywhere.
inline uint32_t PixelHash(uint32_t x, uint32_t y) {
  uint32_t h = x * 0x9E3779B1u ^ (y + 0x7F4A7C15u) * 0x85EBCA77u;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  return h;
}

//
// 'PhotoRow()' - Fill row y of a photo-like page: broad soft gradients with fine grain.
//

inline void PhotoRow(unsigned width, unsigned y, unsigned char *row) {
  for (unsigned x = 0; x < width; x++) {
    // Two crossing ramps, folded into a triangle wave so the page has darks and lights.
    int ramp = static_cast<int>((x * 3 + y * 2) % 1024);
    int shade = ramp < 512 ? ramp / 2 : (1023 - ramp) / 2;
    int grain = static_cast<int>(PixelHash(x, y) % 41) - 20;
    int grey = shade + grain;
    row[x] = static_cast<unsigned char>(grey < 0 ? 0 : grey > 255 ? 255 : grey);
  }
}

//
// 'TextRow()' - Fill row y of a text-like page: lines of black glyph cells on white.
//
// Lines are 30 rows apart with glyphs 18 rows high; a cell is 10 columns wide, one in six
// is a space between words, and a glyph blackens about a third of its pixels.
//

inline void TextRow(unsigned width, unsigned y, unsigned char *row) {
  std::memset(row, 255, width);
  const unsigned line = y / 30;
  if (y % 30 >= 18) {
    return;
  }
  for (unsigned x = 0; x < width; x++) {
    if (PixelHash(x / 10, line) % 6 == 0 || x % 10 >= 8) {
      continue;
    }
    if (PixelHash(x, y) % 3 == 0) {
      row[x] = 0;
    }
  }
}

// The row filler for a pattern name: "photo", "text" or "white"; null for any other name.
using RowFiller = void (*)(unsigned width, unsigned y, unsigned char *row);

inline void WhiteRow(unsigned width, unsigned /*y*/, unsigned char *row) {
  std::memset(row, 255, width);
}

inline RowFiller FillerFor(const std::string &pattern) {
  if (pattern == "photo") {
    return PhotoRow;
  }
  if (pattern == "text") {
    return TextRow;
  }
  if (pattern == "white") {
    return WhiteRow;
  }
  return nullptr;
}

#endif  // QUILLMARSH_BENCH_SYNTHETIC_PAGE_H
