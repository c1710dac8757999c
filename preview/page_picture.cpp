//
// Page pictures: write a page's dot rows as a 2-bit palette PNG, one row at a time.
//

#include "page_picture.h"

#include <cerrno>
#include <csetjmp>
#include <cstring>

#include "page_layout.h"

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

void AbandonPicture(PictureFile &picture) {
  if (picture.png != nullptr) {
    png_destroy_write_struct(&picture.png, &picture.info);
  }
  if (picture.file != nullptr) {
    fclose(picture.file);
  }
  picture.png = nullptr;
  picture.info = nullptr;
  picture.file = nullptr;
}

//
// 'StartPicture()' - Open the file and write the picture's header; false with a message.
//
// Every libpng call that may fail is made here, in WritePictureRow() or in EndPicture(), each
// of which catches libpng's longjmp itself: a jump never crosses the caller's frames.
//

bool StartPicture(PictureFile &picture, const std::string &path, int64_t width, int64_t height,
                  int scale, std::string &error) {
  picture.path = path;
  picture.file = nullptr;
  picture.png = nullptr;
  picture.info = nullptr;
  picture.width = width;
  picture.scale = scale;
  picture.pixels.assign(static_cast<size_t>(width * scale), kPaperIndex);

  picture.file = fopen(path.c_str(), "wb");
  if (picture.file == nullptr) {
    error = path + ": " + strerror(errno);
    return false;
  }
  picture.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &picture.error, KeepPngError,
                                        IgnorePngWarning);
  picture.info = picture.png != nullptr ? png_create_info_struct(picture.png) : nullptr;
  if (picture.info == nullptr) {
    AbandonPicture(picture);
    error = path + ": cannot start a PNG picture";
    return false;
  }
  if (setjmp(png_jmpbuf(picture.png))) {
    AbandonPicture(picture);
    error = path + ": " + picture.error;
    return false;
  }

  png_init_io(picture.png, picture.file);
  // libpng's own limit of a million pixels a row would refuse pictures that kMaxPictureDots and
  // kMaxScale allow (2 million pixels across); the sizes are the caller's to check.
  png_set_user_limits(picture.png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_set_IHDR(picture.png, picture.info, static_cast<png_uint_32>(width * scale),
               static_cast<png_uint_32>(height * scale), kPaletteBits, PNG_COLOR_TYPE_PALETTE,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  const png_color palette[3] = {PaletteColour(kPaperColour), PaletteColour(kDotColour),
                                PaletteColour(kBandEdgeColour)};
  png_set_PLTE(picture.png, picture.info, palette, 3);
  // 180 dots per inch is 7087 per metre; a scaled picture keeps the paper's size.
  const png_uint_32 perMetre = static_cast<png_uint_32>(180 * scale * 10000 / 254);
  png_set_pHYs(picture.png, picture.info, perMetre, perMetre, PNG_RESOLUTION_METER);
  png_write_info(picture.png, picture.info);
  png_set_packing(picture.png);  // one byte per pixel in, 2 bits per pixel in the file
  return true;
}

bool WritePictureRow(PictureFile &picture, const unsigned char *marks, std::string &error) {
  if (setjmp(png_jmpbuf(picture.png))) {
    AbandonPicture(picture);
    error = picture.path + ": " + picture.error;
    return false;
  }
  for (int sub_row = 0; sub_row < picture.scale; sub_row++) {
    ScaleRow(marks, picture.width, picture.scale, sub_row, picture.pixels.data());
    png_write_row(picture.png, picture.pixels.data());
  }
  return true;
}

bool EndPicture(PictureFile &picture, std::string &error) {
  if (setjmp(png_jmpbuf(picture.png))) {
    AbandonPicture(picture);
    error = picture.path + ": " + picture.error;
    return false;
  }
  png_write_end(picture.png, nullptr);
  png_destroy_write_struct(&picture.png, &picture.info);
  picture.png = nullptr;
  picture.info = nullptr;
  const int closed = fclose(picture.file);
  picture.file = nullptr;
  if (closed != 0) {
    error = picture.path + ": " + strerror(errno);
    return false;
  }
  return true;
}
