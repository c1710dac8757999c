//
// Page pictures: draw a page dot row by dot row and write it as a 2-bit palette PNG.
//

#include "page_picture.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

// Palette entries of the picture.
constexpr unsigned char kPaperIndex = 0;
constexpr unsigned char kDotIndex = 1;
constexpr unsigned char kBandEdgeIndex = 2;
constexpr int kPaletteBits = 2;

static png_color PaletteColour(uint32_t rgb) {
  return png_color{static_cast<png_byte>(rgb >> 16), static_cast<png_byte>(rgb >> 8 & 0xFF),
                   static_cast<png_byte>(rgb & 0xFF)};
}

// libpng reports errors by longjmp after calling this; the message is kept for the caller.
static void KeepPngError(png_structp png, png_const_charp message) {
  auto *error = static_cast<std::string *>(png_get_error_ptr(png));
  *error = message;
  png_longjmp(png, 1);
}

static void IgnorePngWarning(png_structp, png_const_charp) {}

//
// 'ScaleRow()' - Turn one row of marks into the palette indexes of one picture row.
//
// sub_row is the picture row within the dot's scale x scale square: a band's top edge is drawn
// on the square's first row and its bottom edge on the last, so edges stay one pixel thin.
//

static void ScaleRow(const unsigned char *marks, int64_t width, int scale, int sub_row,
                     unsigned char *pixels) {
  for (int64_t x = 0; x < width; x++) {
    const unsigned char mark = marks[x];
    unsigned char index = kPaperIndex;
    if (mark & kMarkDot) {
      index = kDotIndex;
    } else if (((mark & kMarkBandTop) && sub_row == 0) ||
               ((mark & kMarkBandBottom) && sub_row == scale - 1)) {
      index = kBandEdgeIndex;
    }
    memset(pixels + x * scale, index, static_cast<size_t>(scale));
  }
}

//
// 'WritePagePicture()' - Write a page as a PNG file; false with a message when that fails.
//
// The page is drawn one dot row at a time, so memory stays at one row however long the page.
// Its size must have been checked against kMaxPictureDots and the scale against kMaxScale.
//

bool WritePagePicture(const std::string &path, const PreviewPage &page, const unsigned char *stream,
                      const PictureOptions &options, std::string &error) {
  const bool blank = page.width == 0 || page.height == 0;
  const int64_t width = blank ? 1 : page.width;
  const int64_t height = blank ? 1 : page.height;
  const int scale = options.scale;
  std::vector<unsigned char> marks(static_cast<size_t>(width), kMarkPaper);
  std::vector<unsigned char> pixels(static_cast<size_t>(width * scale));

  FILE *file = fopen(path.c_str(), "wb");
  if (file == nullptr) {
    error = path + ": " + strerror(errno);
    return false;
  }
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, KeepPngError, IgnorePngWarning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    fclose(file);
    error = path + ": cannot start a PNG picture";
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    fclose(file);
    error = path + ": " + error;
    return false;
  }

  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width * scale),
               static_cast<png_uint_32>(height * scale), kPaletteBits, PNG_COLOR_TYPE_PALETTE,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  const png_color palette[3] = {PaletteColour(kPaperColour), PaletteColour(kDotColour),
                                PaletteColour(kBandEdgeColour)};
  png_set_PLTE(png, info, palette, 3);
  // 180 dots per inch is 7087 per metre; a scaled picture keeps the paper's size.
  const png_uint_32 perMetre = static_cast<png_uint_32>(180 * scale * 10000 / 254);
  png_set_pHYs(png, info, perMetre, perMetre, PNG_RESOLUTION_METER);
  png_write_info(png, info);
  png_set_packing(png);  // one byte per pixel in, 2 bits per pixel in the file

  for (int64_t row = 0; row < height; row++) {
    if (!blank) {
      DrawPageRow(page, stream, row, options.band_edges, marks.data());
    }
    for (int sub_row = 0; sub_row < scale; sub_row++) {
      ScaleRow(marks.data(), width, scale, sub_row, pixels.data());
      png_write_row(png, pixels.data());
    }
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);

  if (fclose(file) != 0) {
    error = path + ": " + strerror(errno);
    return false;
  }
  return true;
}
