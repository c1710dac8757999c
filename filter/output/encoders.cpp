//
// Band encoders: turn 24 grey rows into 24-pin columns by ordered halftone or fixed threshold.
//

#include <cstring>

#include "output/output.h"

// Thresholds of the 6 x 6 ordered dither. A pixel prints when its grey value is below the
// threshold, so 0 (black) always prints and values of 230 and above never do.
const unsigned char halftone_arr[6][6] = {
    {161, 230, 111, 61, 24, 53}, {48, 35, 75, 91, 134, 80}, {30, 11, 41, 171, 217, 119},
    {65, 25, 57, 152, 193, 104}, {97, 143, 85, 45, 33, 70}, {182, 205, 126, 28, 1, 53},
};

constexpr unsigned char kEscape = 0x1B;

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

//
// 'PackColumns()' - Pack a band column by column, given for each row phase the threshold row.
//
// thresholds(c, r) is the level below which the pixel of column c and band row r prints.
//

template <typename Thresholds>
static void PackColumns(int width, const unsigned char *grey, unsigned char *packed,
                        Thresholds thresholds) {
  for (int c = 0; c < width; c++) {
    unsigned char *column = packed + 3 * static_cast<size_t>(c);
    for (int r = 0; r < kBandRows; r++) {
      int g = grey[static_cast<size_t>(r) * width + c];
      if (g < thresholds(c, r)) {
        column[r / 8] |= static_cast<unsigned char>(0x80 >> (r % 8));
      }
    }
  }
}

//
// 'BinaryImage()' - Halftone a grey band into the packed band with the 6 x 6 matrix; returns 0.
//
// The matrix is anchored at the band's first column and row, not at the page.
//

int BinaryImage(int width, const unsigned char *grey, unsigned char *packed, int /*level*/) {
  PackColumns(width, grey, packed, [](int c, int r) { return int{halftone_arr[c % 6][r % 6]}; });
  GuardEscapes(packed, kBytesPerColumn * static_cast<size_t>(width > 0 ? width : 0));
  return 0;
}

//
// 'BinaryImageHold()' - Threshold a grey band into the packed band at level; returns 0.
//

int BinaryImageHold(int width, const unsigned char *grey, unsigned char *packed, int level) {
  PackColumns(width, grey, packed, [level](int, int) { return level; });
  GuardEscapes(packed, kBytesPerColumn * static_cast<size_t>(width > 0 ? width : 0));
  return 0;
}
