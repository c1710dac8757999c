//
// PNG and JPEG images read with bounds: the size is checked from the image's header before any
// pixel buffer is allocated, rows are decoded one at a time (libpng, libjpeg) into 8-bit grey
// and scaled on the way, so that an image costs a few rows of memory, not the whole picture.
// Failures are messages a user can read. No PAPPL here: the printer application pushes the
// rows into its raster callbacks.
//

#ifndef QUILLMARSH_APP_IMAGE_READER_H
#define QUILLMARSH_APP_IMAGE_READER_H

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

// The image formats read here.
enum class ImageFormat { kPng, kJpeg };

// The largest image taken, in pixels on each side. Rows are streamed, so this bounds the time
// an image takes to decode (about a second for the largest), not its memory.
constexpr unsigned kMaxImageSide = 12000;

// Interlaced PNG and progressive JPEG images are stored in passes over the whole picture, so
// their decoders keep the whole picture: at most this many bytes of it.
constexpr size_t kMaxPassBytes = 32u << 20;

// An image being read.
struct ImageReader;
struct ImageReaderDeleter {
  void operator()(ImageReader *reader) const;
};
using ImageReaderPtr = std::unique_ptr<ImageReader, ImageReaderDeleter>;

// Why an image cannot be opened.
enum class ImageProblem { kNone, kNotImage, kDamaged, kTooLarge, kNoMemory };

// Opens the image in file (read from its start; the caller keeps and closes it) and checks its
// size. Null with the reason in message and problem when the file is not such an image, is
// damaged or cut short, or is too large.
ImageReaderPtr OpenImage(FILE *file, ImageFormat format, std::string &message,
                         ImageProblem &problem);

// The image's size in pixels.
unsigned ImageWidth(const ImageReader &reader);
unsigned ImageHeight(const ImageReader &reader);

// Reads the next row of the image scaled to width x height pixels (each output pixel the
// average of the image pixels it covers; both smaller and larger sizes) into width bytes of
// grey, 0 black, 255 white; transparent pixels are white. Rows are taken from the top, one
// per call, height calls in all. False with the reason in message when the image is cut
// short or damaged.
bool ReadScaledRow(ImageReader &reader, unsigned width, unsigned height, unsigned char *row,
                   std::string &message);

#endif  // QUILLMARSH_APP_IMAGE_READER_H
