//
// Page pictures: a page's rows of marks written as a PNG file through libpng, row by row.
//

#ifndef QUILLMARSH_PREVIEW_PAGE_PICTURE_H
#define QUILLMARSH_PREVIEW_PAGE_PICTURE_H

#include <png.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

// A PNG file being written, one dot row of marks at a time. It must stay where it is from
// StartPicture() on: libpng's error handler writes into error.
struct PictureFile {
  std::string path;
  FILE *file;
  png_structp png;
  png_infop info;
  int64_t width;  // dots across
  int scale;
  std::vector<unsigned char> pixels;  // one picture row of palette indexes
  std::string error;                  // libpng's last message
};

// Opens path and writes the header of a picture of width x height dots at the scale, whose
// size must have been checked against kMaxPictureDots and the scale against kMaxScale.
// Returns false with a message in error when the file cannot be written; nothing is then open.
bool StartPicture(PictureFile &picture, const std::string &path, int64_t width, int64_t height,
                  int scale, std::string &error);

// Writes one dot row of width marks as scale picture rows. False with a message in error when
// writing fails; the picture is then closed.
bool WritePictureRow(PictureFile &picture, const unsigned char *marks, std::string &error);

// Finishes and closes the file after its last row; false with a message when that fails.
bool EndPicture(PictureFile &picture, std::string &error);

// Closes a picture that will not be finished, if it is still open.
void AbandonPicture(PictureFile &picture);

#endif  // QUILLMARSH_PREVIEW_PAGE_PICTURE_H
