//
// PNG and JPEG files for the tests, written with libpng and libjpeg.
//

#include "image_files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>
#include <png.h>
#include <zlib.h>

// libpng's write callback: append to the Bytes.
static void AppendPng(png_structp png, png_bytep data, size_t length) {
  auto *out = static_cast<Bytes *>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

static void FlushPng(png_structp) {}

Bytes PngImage(unsigned width, unsigned height, const Bytes &grey, bool interlaced, int alpha) {
  Bytes out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(png, &out, AppendPng, FlushPng);
  const int channels = alpha >= 0 ? 2 : 1;
  png_set_IHDR(png, info, width, height, 8,
               alpha >= 0 ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_GRAY,
               interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  Bytes pixels(static_cast<size_t>(width) * height * channels);
  for (size_t i = 0; i < static_cast<size_t>(width) * height; i++) {
    pixels[i * channels] = grey[i];
    if (alpha >= 0) {
      pixels[i * channels + 1] = static_cast<unsigned char>(alpha);
    }
  }
  std::vector<png_bytep> rows(height);
  for (unsigned y = 0; y < height; y++) {
    rows[y] = &pixels[static_cast<size_t>(y) * width * channels];
  }
  png_write_info(png, info);
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

Bytes JpegImage(unsigned width, unsigned height, const Bytes &grey, bool progressive, bool rgb) {
  jpeg_compress_struct jpeg;
  jpeg_error_mgr errors;
  jpeg.err = jpeg_std_error(&errors);
  jpeg_create_compress(&jpeg);
  unsigned char *buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&jpeg, &buffer, &size);
  jpeg.image_width = width;
  jpeg.image_height = height;
  jpeg.input_components = rgb ? 3 : 1;
  jpeg.in_color_space = rgb ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&jpeg);
  jpeg_set_quality(&jpeg, 100, TRUE);
  if (progressive) {
    jpeg_simple_progression(&jpeg);
  }
  jpeg_start_compress(&jpeg, TRUE);
  Bytes row(static_cast<size_t>(width) * jpeg.input_components);
  while (jpeg.next_scanline < height) {
    for (unsigned x = 0; x < width; x++) {
      for (int c = 0; c < jpeg.input_components; c++) {
        row[x * jpeg.input_components + c] = grey[jpeg.next_scanline * width + x];
      }
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&jpeg, rows, 1);
  }
  jpeg_finish_compress(&jpeg);
  Bytes out(buffer, buffer + size);
  jpeg_destroy_compress(&jpeg);
  free(buffer);
  return out;
}

// A big-endian 16- or 32-bit value written into bytes.
static void Put(unsigned char *at, unsigned value, int bytes) {
  for (int i = 0; i < bytes; i++) {
    at[i] = static_cast<unsigned char>(value >> (8 * (bytes - 1 - i)));
  }
}

Bytes WithClaimedSize(Bytes image, unsigned width, unsigned height) {
  if (image.size() > 33 && image[0] == 0x89) {
    // Signature (8), IHDR length (4) and type (4), then width and height; the CRC covers the
    // type and the 13 data bytes.
    Put(&image[16], width, 4);
    Put(&image[20], height, 4);
    Put(&image[29], static_cast<unsigned>(crc32(0, &image[12], 17)), 4);
    return image;
  }
  // The JPEG's start-of-frame marker (baseline C0 or progressive C2): length (2), precision
  // (1), height (2), width (2).
  for (size_t i = 2; i + 9 < image.size(); i++) {
    if (image[i] == 0xff && (image[i + 1] == 0xc0 || image[i + 1] == 0xc2)) {
      Put(&image[i + 5], height, 2);
      Put(&image[i + 7], width, 2);
      break;
    }
  }
  return image;
}

Bytes NoisePixels(unsigned width, unsigned height) {
  Bytes pixels(static_cast<size_t>(width) * height);
  unsigned state = 12345;
  for (unsigned char &pixel : pixels) {
    state = state * 1103515245u + 12345u;
    pixel = static_cast<unsigned char>(state >> 16);
  }
  return pixels;
}
