//
// PNG and JPEG images read row by row with libpng and libjpeg, checked, made grey and scaled.
//
// Both libraries report errors by longjmp out of their own code (libpng's png_error, libjpeg's
// error_exit). Every procedure here that sets the jump target keeps no object with a
// destructor alive across it: the buffers live in the reader record, and messages are written
// into its fixed array first and copied into a std::string only after the jump is done.
//

#include "image_reader.h"

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include <jpeglib.h>

// After jpeglib.h, which it needs.
#include <jerror.h>
#include <png.h>

// How many bytes identify each format: PNG's 8-byte signature, JPEG's start-of-image marker and
// the first byte of the next marker.
constexpr size_t kPngSignatureBytes = 8;
constexpr unsigned char kJpegStart[] = {0xff, 0xd8, 0xff};

// The largest ancillary PNG chunk (profiles, text) kept in memory.
constexpr png_alloc_size_t kMaxPngChunkBytes = 1u << 20;

// Bytes of a megabyte, for messages.
constexpr size_t kMegabyte = 1u << 20;

// libjpeg's error manager, with the jump target and the reader it reports into.
struct JpegErrors {
  jpeg_error_mgr manager;
  jmp_buf jump;
  ImageReader *reader;
};

// An image being read, and what the scaling keeps between rows.
struct ImageReader {
  ImageFormat format = ImageFormat::kPng;
  FILE *file = nullptr;
  unsigned width = 0, height = 0;
  unsigned rowsRead = 0;  // image rows decoded and made grey
  unsigned rowsOut = 0;   // scaled rows handed out
  bool ended = false;     // the file ended before the image did
  char error[200] = "";   // the decoder's message for its last error

  // libpng: the reader, its image information, the samples of a decoded pixel (grey, or grey
  // and alpha), and, for an interlaced image, every pass of the whole picture.
  png_structp png = nullptr;
  png_infop info = nullptr;
  unsigned channels = 1;
  bool interlaced = false;
  std::vector<unsigned char> picture;

  // libjpeg: the decompressor and its error manager; started once jpeg_start_decompress ran.
  jpeg_decompress_struct jpeg;
  JpegErrors jpegErrors;
  bool jpegMade = false;

  std::vector<unsigned char> raw;   // one row as the decoder hands it out
  std::vector<unsigned char> grey;  // the last image row read, in grey
  std::vector<uint32_t> sums;       // the image rows of one scaled row, added column by column
};

//
// 'Grey()' - The grey of one decoded pixel: alpha composed over white paper, CMYK as printed.
//

static unsigned char GreyOfGreyAlpha(unsigned grey, unsigned alpha) {
  return static_cast<unsigned char>((grey * alpha + 255 * (255 - alpha) + 127) / 255);
}

// Adobe's CMYK JPEG images store each ink inverted (255 for no ink): a channel's light is its
// value times the black's.
static unsigned char GreyOfInvertedCmyk(const unsigned char *pixel) {
  unsigned k = pixel[3];
  unsigned r = pixel[0] * k / 255, g = pixel[1] * k / 255, b = pixel[2] * k / 255;
  return static_cast<unsigned char>((r * 77 + g * 150 + b * 29) >> 8);
}

//
// PNG
//

// libpng's error handler: keep the message, jump back to the procedure that called libpng.
static void PngError(png_structp png, png_const_charp text) {
  auto *reader = static_cast<ImageReader *>(png_get_error_ptr(png));
  snprintf(reader->error, sizeof reader->error, "%s", text);
  png_longjmp(png, 1);
}

// libpng's warnings (such as a bad colour profile) do not stop the picture.
static void PngWarning(png_structp png, png_const_charp text) {
  (void)png;
  (void)text;
}

// libpng's reads: a short read is the file cut short, told apart from damage.
static void ReadPngBytes(png_structp png, png_bytep data, size_t length) {
  auto *reader = static_cast<ImageReader *>(png_get_io_ptr(png));
  if (fread(data, 1, length, reader->file) != length) {
    reader->ended = true;
    png_error(png, "the file ends");
  }
}

//
// 'OpenPng()' - Read a PNG image's header and set libpng up to hand out grey rows.
//
// Returns false with the message in reader.error when the header cannot be read.
//

static bool OpenPng(ImageReader &reader) {
  reader.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &reader, PngError, PngWarning);
  reader.info = reader.png != nullptr ? png_create_info_struct(reader.png) : nullptr;
  if (reader.info == nullptr) {
    snprintf(reader.error, sizeof reader.error, "not enough memory");
    return false;
  }
  if (setjmp(png_jmpbuf(reader.png))) {
    return false;
  }
  png_set_read_fn(reader.png, &reader, ReadPngBytes);
  png_set_chunk_malloc_max(reader.png, kMaxPngChunkBytes);
  png_read_info(reader.png, reader.info);
  reader.width = png_get_image_width(reader.png, reader.info);
  reader.height = png_get_image_height(reader.png, reader.info);
  return true;
}

//
// 'StartPngRows()' - Ask libpng for 8-bit grey (with alpha where the image has it).
//

static bool StartPngRows(ImageReader &reader) {
  if (setjmp(png_jmpbuf(reader.png))) {
    return false;
  }
  png_structp png = reader.png;
  png_set_expand(png);
  png_set_strip_16(png);
  if (png_get_color_type(png, reader.info) & PNG_COLOR_MASK_COLOR) {
    png_set_rgb_to_gray_fixed(png, 1, -1, -1);
  }
  reader.interlaced = png_set_interlace_handling(png) > 1;
  png_read_update_info(png, reader.info);
  reader.channels = png_get_channels(png, reader.info);
  return true;
}

//
// 'DecodePngRows()' - Decode the next image row into reader.raw, or, for an interlaced image,
//                     every pass of the picture into reader.picture.
//

static bool DecodePngRows(ImageReader &reader) {
  if (setjmp(png_jmpbuf(reader.png))) {
    return false;
  }
  if (!reader.interlaced) {
    png_read_row(reader.png, reader.raw.data(), nullptr);
    return true;
  }
  const size_t rowBytes = static_cast<size_t>(reader.width) * reader.channels;
  int passes = png_set_interlace_handling(reader.png);
  for (int pass = 0; pass < passes; pass++) {
    for (unsigned y = 0; y < reader.height; y++) {
      png_read_row(reader.png, &reader.picture[y * rowBytes], nullptr);
    }
  }
  return true;
}

//
// JPEG
//

// libjpeg's fatal errors: keep the message, jump back to the procedure that called libjpeg.
static void JpegError(j_common_ptr info) {
  auto *errors = reinterpret_cast<JpegErrors *>(info->err);
  (*info->err->format_message)(info, errors->reader->error);
  longjmp(errors->jump, 1);
}

// libjpeg's warnings: the end of the file before the end of the image is fatal here (libjpeg
// would go on with grey rows); the others (stray bytes between markers) are not.
static void JpegMessage(j_common_ptr info, int level) {
  auto *errors = reinterpret_cast<JpegErrors *>(info->err);
  if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF) {
    errors->reader->ended = true;
    longjmp(errors->jump, 1);
  }
}

//
// 'OpenJpeg()' - Read a JPEG image's header. False with the message in reader.error.
//

static bool OpenJpeg(ImageReader &reader) {
  reader.jpeg.err = jpeg_std_error(&reader.jpegErrors.manager);
  reader.jpegErrors.manager.error_exit = JpegError;
  reader.jpegErrors.manager.emit_message = JpegMessage;
  reader.jpegErrors.reader = &reader;
  if (setjmp(reader.jpegErrors.jump)) {
    return false;
  }
  jpeg_create_decompress(&reader.jpeg);
  reader.jpegMade = true;
  // libjpeg's own buffers, above all the whole picture of a progressive image, are bounded:
  // without a backing store it fails rather than take more.
  reader.jpeg.mem->max_memory_to_use = static_cast<long>(kMaxPassBytes + 8 * kMegabyte);
  jpeg_stdio_src(&reader.jpeg, reader.file);
  jpeg_read_header(&reader.jpeg, TRUE);
  reader.width = reader.jpeg.image_width;
  reader.height = reader.jpeg.image_height;
  return true;
}

// The bytes libjpeg keeps for a progressive image: every component's DCT coefficients.
static size_t ProgressiveBytes(const jpeg_decompress_struct &jpeg) {
  size_t bytes = 0;
  for (int i = 0; i < jpeg.num_components; i++) {
    const jpeg_component_info &component = jpeg.comp_info[i];
    bytes += static_cast<size_t>(component.width_in_blocks) * component.height_in_blocks *
             DCTSIZE2 * sizeof(JCOEF);
  }
  return bytes;
}

//
// 'StartJpegRows()' - Ask libjpeg for grey rows (CMYK images as they are, made grey here).
//

static bool StartJpegRows(ImageReader &reader) {
  if (setjmp(reader.jpegErrors.jump)) {
    return false;
  }
  jpeg_decompress_struct &jpeg = reader.jpeg;
  bool cmyk = jpeg.jpeg_color_space == JCS_CMYK || jpeg.jpeg_color_space == JCS_YCCK;
  jpeg.out_color_space = cmyk ? JCS_CMYK : JCS_GRAYSCALE;
  jpeg_start_decompress(&jpeg);
  reader.channels = static_cast<unsigned>(jpeg.output_components);
  return true;
}

// 'DecodeJpegRow()' - Decode the next image row into reader.raw.
static bool DecodeJpegRow(ImageReader &reader) {
  if (setjmp(reader.jpegErrors.jump)) {
    return false;
  }
  JSAMPROW rows[1] = {reader.raw.data()};
  while (jpeg_read_scanlines(&reader.jpeg, rows, 1) != 1) {
    // A suspending source would return 0; the stdio source never does.
  }
  return true;
}

//
// Both formats
//

void ImageReaderDeleter::operator()(ImageReader *reader) const {
  if (reader->png != nullptr) {
    png_destroy_read_struct(&reader->png, &reader->info, nullptr);
  }
  if (reader->jpegMade) {
    jpeg_destroy_decompress(&reader->jpeg);
  }
  delete reader;
}

unsigned ImageWidth(const ImageReader &reader) {
  return reader.width;
}

unsigned ImageHeight(const ImageReader &reader) {
  return reader.height;
}

// The format's name in messages.
static const char *FormatName(ImageFormat format) {
  return format == ImageFormat::kPng ? "PNG" : "JPEG";
}

//
// 'FailureOf()' - The message for a decoder that stopped: cut short, or damaged.
//

static std::string FailureOf(const ImageReader &reader) {
  char message[320];
  const char *name = FormatName(reader.format);
  if (reader.ended && reader.rowsRead == 0) {
    snprintf(message, sizeof message, "The %s image is cut short before its first row.", name);
  } else if (reader.ended) {
    snprintf(message, sizeof message, "The %s image is cut short after row %u.", name,
             reader.rowsRead);
  } else if (reader.rowsRead == 0) {
    snprintf(message, sizeof message, "The %s image is damaged: %s.", name, reader.error);
  } else {
    snprintf(message, sizeof message, "The %s image is damaged after row %u: %s.", name,
             reader.rowsRead, reader.error);
  }
  return message;
}

//
// 'IsFormat()' - Whether the file starts as the format does; the file is read from its start.
//

static bool IsFormat(FILE *file, ImageFormat format) {
  rewind(file);
  unsigned char start[kPngSignatureBytes] = {};
  size_t count = fread(start, 1, sizeof start, file);
  rewind(file);
  if (format == ImageFormat::kPng) {
    return count == kPngSignatureBytes && png_sig_cmp(start, 0, kPngSignatureBytes) == 0;
  }
  return count >= sizeof kJpegStart && memcmp(start, kJpegStart, sizeof kJpegStart) == 0;
}

//
// 'OpenImage()' - Check the image's header and size, and set the decoder up for grey rows.
//

ImageReaderPtr OpenImage(FILE *file, ImageFormat format, std::string &message,
                         ImageProblem &problem) {
  char text[320];
  problem = ImageProblem::kNotImage;
  const char *name = FormatName(format);
  if (!IsFormat(file, format)) {
    snprintf(text, sizeof text, "The document is not a %s image.", name);
    message = text;
    return nullptr;
  }
  ImageReaderPtr reader(new (std::nothrow) ImageReader);
  if (!reader) {
    message = "Not enough memory to read the image.";
    problem = ImageProblem::kNoMemory;
    return nullptr;
  }
  problem = ImageProblem::kDamaged;
  reader->format = format;
  reader->file = file;
  bool png = format == ImageFormat::kPng;
  if (!(png ? OpenPng(*reader) : OpenJpeg(*reader))) {
    message = FailureOf(*reader);
    return nullptr;
  }

  // The size, from the header, before any buffer the size decides.
  problem = ImageProblem::kTooLarge;
  if (reader->width > kMaxImageSide || reader->height > kMaxImageSide) {
    snprintf(text, sizeof text,
             "The image is %u x %u pixels; the largest this printer takes is %u x %u.",
             reader->width, reader->height, kMaxImageSide, kMaxImageSide);
    message = text;
    return nullptr;
  }
  // Images stored in passes: libjpeg would allocate the whole picture when it starts, so
  // a JPEG is measured from its header; libpng says whether it interlaces once set up.
  size_t passBytes = 0;
  if (!png && jpeg_has_multiple_scans(&reader->jpeg)) {
    passBytes = ProgressiveBytes(reader->jpeg);
  }
  if (passBytes <= kMaxPassBytes && !(png ? StartPngRows(*reader) : StartJpegRows(*reader))) {
    message = FailureOf(*reader);
    problem = ImageProblem::kDamaged;
    return nullptr;
  }
  if (png && reader->interlaced) {
    passBytes = static_cast<size_t>(reader->width) * reader->height * reader->channels;
  }
  if (passBytes > kMaxPassBytes) {
    snprintf(text, sizeof text,
             "The %s image is %u x %u pixels and %s: decoding it needs %zu MB, and this "
             "printer allows %zu MB. Save it %s to print it.",
             name, reader->width, reader->height, png ? "interlaced" : "progressive",
             (passBytes + kMegabyte - 1) / kMegabyte, kMaxPassBytes / kMegabyte,
             png ? "without interlacing" : "as a baseline JPEG");
    message = text;
    return nullptr;
  }

  try {
    reader->raw.resize(static_cast<size_t>(reader->width) * reader->channels);
    reader->grey.resize(reader->width);
    reader->sums.resize(reader->width);
    if (png && reader->interlaced) {
      reader->picture.resize(passBytes);
    }
  } catch (const std::bad_alloc &) {
    message = "Not enough memory to read the image.";
    problem = ImageProblem::kNoMemory;
    return nullptr;
  }
  problem = ImageProblem::kNone;
  return reader;
}

//
// 'NextImageRow()' - Decode the next row of the image into reader.grey.
//

static bool NextImageRow(ImageReader &reader, std::string &message) {
  const unsigned char *raw = reader.raw.data();
  if (reader.format == ImageFormat::kJpeg) {
    if (!DecodeJpegRow(reader)) {
      message = FailureOf(reader);
      return false;
    }
  } else if (!reader.interlaced) {
    if (!DecodePngRows(reader)) {
      message = FailureOf(reader);
      return false;
    }
  } else {
    // The whole picture comes in on the first row.
    if (reader.rowsRead == 0 && !DecodePngRows(reader)) {
      message = FailureOf(reader);
      return false;
    }
    raw = &reader.picture[static_cast<size_t>(reader.rowsRead) * reader.width * reader.channels];
  }

  unsigned char *grey = reader.grey.data();
  const unsigned width = reader.width;
  switch (reader.channels) {
    case 1:
      memcpy(grey, raw, width);
      break;
    case 2:
      for (unsigned x = 0; x < width; x++) {
        grey[x] = GreyOfGreyAlpha(raw[2 * x], raw[2 * x + 1]);
      }
      break;
    default:
      for (unsigned x = 0; x < width; x++) {
        grey[x] = GreyOfInvertedCmyk(&raw[4 * x]);
      }
      break;
  }
  reader.rowsRead++;
  return true;
}

//
// 'ReadScaledRow()' - The next scaled row: the average of the image rows and columns it
//                     covers.
//
// Scaled row y covers image rows [y * H / height, (y + 1) * H / height), at least one: going
// down in size adds several image rows; going up in size repeats the last one read, which is
// why the last image row is kept.
//

bool ReadScaledRow(ImageReader &reader, unsigned width, unsigned height, unsigned char *row,
                   std::string &message) {
  if (width == 0 || height == 0 || reader.rowsOut >= height) {
    message = "No more rows in the scaled image.";
    return false;
  }
  const uint64_t y = reader.rowsOut;
  const unsigned first = static_cast<unsigned>(y * reader.height / height);
  const unsigned end = std::max(first + 1, static_cast<unsigned>((y + 1) * reader.height / height));

  uint32_t *sums = reader.sums.data();
  memset(sums, 0, reader.width * sizeof *sums);
  for (unsigned imageRow = first; imageRow < end; imageRow++) {
    if (imageRow >= reader.rowsRead && !NextImageRow(reader, message)) {
      return false;
    }
    const unsigned char *grey = reader.grey.data();
    for (unsigned x = 0; x < reader.width; x++) {
      sums[x] += grey[x];
    }
  }

  const uint64_t rows = end - first;
  for (uint64_t x = 0; x < width; x++) {
    const unsigned left = static_cast<unsigned>(x * reader.width / width);
    const unsigned right =
        std::max(left + 1, static_cast<unsigned>((x + 1) * reader.width / width));
    uint64_t sum = 0;
    for (unsigned column = left; column < right; column++) {
      sum += sums[column];
    }
    const uint64_t count = rows * (right - left);
    row[x] = static_cast<unsigned char>((sum + count / 2) / count);
  }
  reader.rowsOut++;
  return true;
}
