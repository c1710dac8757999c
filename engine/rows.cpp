//
// Raster rows: the blank test, and the 360 dpi merges that make one band row of two rows.
//

#include <algorithm>
#include <cstring>

#include "engine/bands.h"

// Rows are tested for white in chunks of this many bytes, one vector compare each.
constexpr int kBlankChunk = 64;

//
// 'isBlankRow()' - Return 1 when every pixel of the row is white (255), otherwise 0.
//
// Each chunk's pixels are ANDed together, which stays 255 only when all of them are 255; a
// chunk with ink ends the test. The last few pixels are tested one by one.
//

int isBlankRow(int length, const unsigned char *row) {
  int i = 0;
  for (; i + kBlankChunk <= length; i += kBlankChunk) {
    unsigned char all = 255;
    for (int j = 0; j < kBlankChunk; j++) {
      all &= row[i + j];
    }
    if (all != 255) {
      return 0;
    }
  }
  for (; i < length; i++) {
    if (row[i] != 255) {
      return 0;
    }
  }
  return 1;
}

// Rows are merged in chunks of this many output pixels, each built in a local array that no
// input row can overlap: the chunk loops vectorise without run-time checks, at -O2 as at -O3.
constexpr int kMergeChunk = 64;

//
// 'MergeLineData()' - Keep the darker pixel of each vertical pair of 360 dpi rows.
//
// output may be first itself: each pixel is written after both inputs are read.
//

void MergeLineData(const unsigned char *first, const unsigned char *second, unsigned char *output,
                   int length) {
  int i = 0;
  for (; i + kMergeChunk <= length; i += kMergeChunk) {
    unsigned char darker[kMergeChunk];
    for (int j = 0; j < kMergeChunk; j++) {
      darker[j] = std::min(first[i + j], second[i + j]);
    }
    memcpy(output + i, darker, kMergeChunk);
  }
  for (; i < length; i++) {
    output[i] = std::min(first[i], second[i]);
  }
}

//
// 'MergeColumnData()' - Halve a row across: each output pixel is the mean of a pixel pair.
//
// An odd last pixel has no partner and is copied; (length + 1) / 2 pixels are written.
//

void MergeColumnData(const unsigned char *input, unsigned char *output, int length) {
  int i = 0;
  for (; 2 * (i + kMergeChunk) <= length; i += kMergeChunk) {
    const unsigned char *pairs = input + 2 * i;
    unsigned char halved[kMergeChunk];
    for (int j = 0; j < kMergeChunk; j++) {
      halved[j] = static_cast<unsigned char>((pairs[2 * j] + pairs[2 * j + 1]) / 2);
    }
    memcpy(output + i, halved, kMergeChunk);
  }
  for (; 2 * i + 1 < length; i++) {
    output[i] = static_cast<unsigned char>((input[2 * i] + input[2 * i + 1]) / 2);
  }
  if (length > 0 && length % 2 == 1) {
    output[i] = input[length - 1];
  }
}
