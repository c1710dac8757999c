//
// Band encoders: turn 24 grey rows into 24-pin columns by ordered halftone or fixed threshold.
//

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/bands.h"

// Thresholds of the 6 x 6 ordered dither. A pixel prints when its grey value is below the
// threshold, so 0 (black) always prints and values of 230 and above never do.
constexpr unsigned char halftone_arr[6][6] = {
    {161, 230, 111, 61, 24, 53}, {48, 35, 75, 91, 134, 80}, {30, 11, 41, 171, 217, 119},
    {65, 25, 57, 152, 193, 104}, {97, 143, 85, 45, 33, 70}, {182, 205, 126, 28, 1, 53},
};

constexpr unsigned char kEscape = 0x1B;
constexpr unsigned char kWhite = 255;

// The matrix repeats every 6 rows and every 6 columns.
constexpr int kMatrixSize = 6;

// The encoders work on blocks of this many columns: a whole number of matrix cells, so every
// block starts at column phase 0, and of 16- and 32-byte vector registers.
constexpr int kBlockColumns = 96;

// Rows of a band that make one packed byte of a column.
constexpr int kRowsPerByte = 8;

// One threshold row per row phase, laid across a whole block: kHalftoneRows[k][j] is the
// threshold of band rows r with r mod 6 = k in block column j. Built once, at compile time.
using ThresholdRows = std::array<std::array<unsigned char, kBlockColumns>, kMatrixSize>;

static constexpr ThresholdRows MakeHalftoneRows() {
  ThresholdRows rows{};
  for (int k = 0; k < kMatrixSize; k++) {
    for (int j = 0; j < kBlockColumns; j++) {
      rows[k][j] = halftone_arr[j % kMatrixSize][k];
    }
  }
  return rows;
}

static constexpr ThresholdRows kHalftoneRows = MakeHalftoneRows();

//
// 'GuardEscapes()' - Replace every ESC that is followed by "0" in the packed band with 0x1A.
//
// The printer would take ESC "0" inside graphics data as a command. Clearing the low bit of
// the ESC byte drops one dot (row 7, 15 or 23 of that column) and keeps the stream safe. The
// band's last byte is never a candidate, and a replacement can never make a new pair.
//

static void GuardEscapes(unsigned char *packed, size_t length) {
  if (length < 2) {
    return;
  }
  const unsigned char *end = packed + length - 1;  // the last byte that may start a pair
  unsigned char *p = packed;
  while (p < end) {
    p = static_cast<unsigned char *>(std::memchr(p, kEscape, static_cast<size_t>(end - p)));
    if (p == nullptr) {
      return;
    }
    if (p[1] == '0') {
      *p = 0x1A;
    }
    p++;
  }
}

// On x86-64 the band packer is built twice, plain and for AVX2, and the loader picks the one
// the processor runs: AVX2 compares 32 columns at a time and can interleave the column bytes.
// The sanitized build keeps only the plain one, so that its test run covers that version too.
#if defined(__x86_64__) && !defined(QUILLMARSH_SANITIZED)
#define PACK_BAND_VERSIONS __attribute__((target_clones("avx2", "default")))
#else
#define PACK_BAND_VERSIONS
#endif

//
// 'PackBand()' - Pack a band block by block, given each band row's threshold row.
//
// thresholds[r] is the row of kBlockColumns levels below which the pixels of band row r
// print, the same for every block. A last block narrower than kBlockColumns is copied into
// a white block first (white never prints), so every block is packed the same way.
//
// Each packed byte of a column is built from eight whole-byte compares, the top row becoming
// bit 7. The bytes go to a local array that no row pointer can reach, and the loop over the
// eight rows is unrolled, so the loop over the columns vectorises without run-time checks, at
// -O2 as at -O3: 16 or 32 columns a compare.
//

PACK_BAND_VERSIONS static void PackBand(int width, const unsigned char *grey, unsigned char *packed,
                                        const unsigned char *const thresholds[kBandRows]) {
  unsigned char tail[kBandRows][kBlockColumns];
  for (int first = 0; first < width; first += kBlockColumns) {
    const int columns = std::min(kBlockColumns, width - first);

    const unsigned char *rows[kBandRows];
    for (int r = 0; r < kBandRows; r++) {
      rows[r] = grey + static_cast<size_t>(r) * width + first;
    }
    if (columns < kBlockColumns) {
      for (int r = 0; r < kBandRows; r++) {
        std::memset(tail[r], kWhite, kBlockColumns);
        std::memcpy(tail[r], rows[r], static_cast<size_t>(columns));
        rows[r] = tail[r];
      }
    }

    // The three bytes of every column: rows 0-7, 8-15 and 16-23.
    unsigned char bytes[kBytesPerColumn][kBlockColumns];
    for (int b = 0; b < kBytesPerColumn; b++) {
      const unsigned char *const *g = rows + kRowsPerByte * b;
      const unsigned char *const *t = thresholds + kRowsPerByte * b;
      for (int j = 0; j < kBlockColumns; j++) {
        unsigned char bits = 0;
#pragma GCC unroll 8
        for (int k = 0; k < kRowsPerByte; k++) {
          bits |= g[k][j] < t[k][j] ? static_cast<unsigned char>(0x80 >> k) : 0;
        }
        bytes[b][j] = bits;
      }
    }
    unsigned char *column = packed + kBytesPerColumn * static_cast<size_t>(first);
    for (int j = 0; j < columns; j++, column += kBytesPerColumn) {
      column[0] |= bytes[0][j];
      column[1] |= bytes[1][j];
      column[2] |= bytes[2][j];
    }
  }
}

static size_t PackedLength(int width) {
  return kBytesPerColumn * static_cast<size_t>(width > 0 ? width : 0);
}

//
// 'BinaryImage()' - Halftone a grey band into the packed band with the 6 x 6 matrix; returns 0.
//
// The matrix is anchored at the band's first column and row, not at the page.
//

int BinaryImage(int width, const unsigned char *grey, unsigned char *packed, int /*level*/) {
  const unsigned char *thresholds[kBandRows];
  for (int r = 0; r < kBandRows; r++) {
    thresholds[r] = kHalftoneRows[r % kMatrixSize].data();
  }
  PackBand(width, grey, packed, thresholds);
  GuardEscapes(packed, PackedLength(width));
  return 0;
}

//
// 'BinaryImageHold()' - Threshold a grey band into the packed band at level; returns 0.
//
// A pixel prints when level > grey. Levels above 255 print every pixel, which no byte
// threshold can express, so they fill the packed band directly; levels of 0 or less print
// nothing.
//

int BinaryImageHold(int width, const unsigned char *grey, unsigned char *packed, int level) {
  if (level > kWhite) {
    // Not memset: a band of width 0 may come without a buffer, which memset must not be given.
    std::fill(packed, packed + PackedLength(width), 0xFF);
  } else {
    std::array<unsigned char, kBlockColumns> levels;
    levels.fill(static_cast<unsigned char>(std::max(level, 0)));
    const unsigned char *thresholds[kBandRows];
    std::fill(thresholds, thresholds + kBandRows, levels.data());
    PackBand(width, grey, packed, thresholds);
  }
  GuardEscapes(packed, PackedLength(width));
  return 0;
}
