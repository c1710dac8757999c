//
// Page pictures: a laid-out page written as a PNG file through libpng.
//

#ifndef QUILLMARSH_PREVIEW_PAGE_PICTURE_H
#define QUILLMARSH_PREVIEW_PAGE_PICTURE_H

#include <cstdint>
#include <string>

#include "page_layout.h"

// Pictures larger than this many dots across or down are refused: 131072 dots are about
// 18 metres of paper at 180 dpi, far beyond any page the filter sends.
constexpr int64_t kMaxPictureDots = int64_t{1} << 17;
constexpr int kMaxScale = 16;

// How a page is drawn: each dot becomes scale x scale pixels; band_edges draws the top and
// bottom edge of every band as a light line on the paper.
struct PictureOptions {
  int scale;
  bool band_edges;
};

// The three colours of a picture, as 0xRRGGBB.
constexpr uint32_t kPaperColour = 0xFFFFFF;
constexpr uint32_t kDotColour = 0x000000;
constexpr uint32_t kBandEdgeColour = 0x9CC8FF;

// Writes the page to a PNG file at path, one row at a time. A page with nothing on it becomes
// one pixel of paper. Returns false with a message in error when the file cannot be written.
bool WritePagePicture(const std::string &path, const PreviewPage &page, const unsigned char *stream,
                      const PictureOptions &options, std::string &error);

#endif  // QUILLMARSH_PREVIEW_PAGE_PICTURE_H
