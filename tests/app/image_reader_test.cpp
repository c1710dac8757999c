//
// The image decoder without a server: what it refuses and with which message, and the grey rows
// it hands out for good images, scaled.
//

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "image_files.h"
#include "image_reader.h"

namespace {

// An image file in memory, as the decoder reads it.
struct MemoryFile {
  explicit MemoryFile(Bytes bytes) : bytes(std::move(bytes)) {
    file =
        fmemopen(this->bytes.empty() ? nullptr : this->bytes.data(), this->bytes.size() + 0, "rb");
  }
  ~MemoryFile() {
    if (file != nullptr) {
      fclose(file);
    }
  }
  Bytes bytes;
  FILE *file;
};

// Opens the image and reads every scaled row; the first message, empty when all went well.
std::string ReadAll(const Bytes &image, ImageFormat format, unsigned width, unsigned height,
                    ImageProblem *problem = nullptr, Bytes *rows = nullptr) {
  MemoryFile memory(image);
  std::string message;
  ImageProblem found;
  ImageReaderPtr reader = OpenImage(memory.file, format, message, found);
  if (problem != nullptr) {
    *problem = found;
  }
  if (!reader) {
    return message;
  }
  Bytes row(width);
  for (unsigned y = 0; y < height; y++) {
    if (!ReadScaledRow(*reader, width, height, row.data(), message)) {
      return message;
    }
    if (rows != nullptr) {
      rows->insert(rows->end(), row.begin(), row.end());
    }
  }
  return "";
}

Bytes Cut(Bytes bytes, size_t size) {
  bytes.resize(size);
  return bytes;
}

struct BadImage {
  const char *name;
  ImageFormat format;
  Bytes image;
  ImageProblem problem;
  std::string message;  // the start of the message
};

TEST(ImageReader, RefusesBadImagesWithTheirReason) {
  const Bytes noise = NoisePixels(300, 200);
  const Bytes png = PngImage(300, 200, noise);
  const Bytes jpeg = JpegImage(300, 200, noise);
  const Bytes small(64 * 64, 128);
  const BadImage cases[] = {
      {"PNG header only", ImageFormat::kPng, Cut(png, 33), ImageProblem::kDamaged,
       "The PNG image is cut short before its first row."},
      {"PNG cut in its rows", ImageFormat::kPng, Cut(png, png.size() / 2), ImageProblem::kNone,
       "The PNG image is cut short after row "},
      {"JPEG cut in its rows", ImageFormat::kJpeg, Cut(jpeg, jpeg.size() / 2), ImageProblem::kNone,
       "The JPEG image is cut short after row "},
      {"JPEG cut in its header", ImageFormat::kJpeg, Cut(jpeg, 100), ImageProblem::kDamaged,
       "The JPEG image is cut short before its first row."},
      {"PNG of 20000 x 20000", ImageFormat::kPng, WithClaimedSize(png, 20000, 20000),
       ImageProblem::kTooLarge,
       "The image is 20000 x 20000 pixels; the largest this printer takes is 12000 x 12000."},
      {"JPEG of 20000 x 20000", ImageFormat::kJpeg, WithClaimedSize(jpeg, 20000, 20000),
       ImageProblem::kTooLarge,
       "The image is 20000 x 20000 pixels; the largest this printer takes is 12000 x 12000."},
      {"JPEG one pixel too wide", ImageFormat::kJpeg, WithClaimedSize(jpeg, 12001, 200),
       ImageProblem::kTooLarge, "The image is 12001 x 200 pixels;"},
      {"interlaced PNG of 6000 x 6000", ImageFormat::kPng,
       WithClaimedSize(PngImage(64, 64, small, true), 6000, 6000), ImageProblem::kTooLarge,
       "The PNG image is 6000 x 6000 pixels and interlaced: decoding it needs 35 MB"},
      {"progressive JPEG of 5000 x 5000", ImageFormat::kJpeg,
       WithClaimedSize(JpegImage(64, 64, small, true), 5000, 5000), ImageProblem::kTooLarge,
       "The JPEG image is 5000 x 5000 pixels and progressive: decoding it needs 48 MB"},
      {"JPEG sent as PNG", ImageFormat::kPng, jpeg, ImageProblem::kNotImage,
       "The document is not a PNG image."},
      {"PNG sent as JPEG", ImageFormat::kJpeg, png, ImageProblem::kNotImage,
       "The document is not a JPEG image."},
      {"PNG with a damaged header", ImageFormat::kPng, WithClaimedSize(png, 0, 200),
       ImageProblem::kDamaged, "The PNG image is damaged: "},
  };
  for (const BadImage &c : cases) {
    SCOPED_TRACE(c.name);
    ImageProblem problem;
    std::string message = ReadAll(c.image, c.format, 300, 200, &problem);
    EXPECT_EQ(message.substr(0, c.message.size()), c.message) << message;
    EXPECT_EQ(problem, c.problem);
  }
}

// The row number in a cut-short message is the count of rows that were whole: every row
// handed out before the failure.
TEST(ImageReader, ACutShortMessageNamesTheLastWholeRow) {
  const Bytes png = PngImage(300, 200, NoisePixels(300, 200));
  MemoryFile memory(Cut(png, png.size() / 2));
  std::string message;
  ImageProblem problem;
  ImageReaderPtr reader = OpenImage(memory.file, ImageFormat::kPng, message, problem);
  ASSERT_TRUE(reader);
  Bytes row(300);
  unsigned rows = 0;
  while (ReadScaledRow(*reader, 300, 200, row.data(), message)) {
    rows++;
  }
  EXPECT_GT(rows, 50u);
  EXPECT_LT(rows, 150u);
  EXPECT_EQ(message, "The PNG image is cut short after row " + std::to_string(rows) + ".");
}

struct GoodImage {
  const char *name;
  ImageFormat format;
  Bytes image;
  unsigned width, height;  // scaled to
  Bytes rows;              // expected grey
  int tolerance;           // JPEG is lossy
};

TEST(ImageReader, HandsOutGreyRowsScaledByAveraging) {
  // 4 x 2 pixels: black and white columns on top, mid grey below.
  const Bytes stripes = {0, 255, 0, 255, 100, 100, 200, 200};
  const Bytes flat(16 * 16, 60);
  const GoodImage cases[] = {
      {"PNG as it is", ImageFormat::kPng, PngImage(4, 2, stripes), 4, 2, stripes, 0},
      {"PNG halved", ImageFormat::kPng, PngImage(4, 2, stripes), 2, 1, {114, 164}, 0},
      {"PNG doubled",
       ImageFormat::kPng,
       PngImage(4, 2, stripes),
       8,
       2,
       {0, 0, 255, 255, 0, 0, 255, 255, 100, 100, 100, 100, 200, 200, 200, 200},
       0},
      {"interlaced PNG", ImageFormat::kPng, PngImage(4, 2, stripes, true), 4, 2, stripes, 0},
      {"half transparent PNG over white",
       ImageFormat::kPng,
       PngImage(4, 2, stripes, false, 128),
       4,
       2,
       {127, 255, 127, 255, 177, 177, 227, 227},
       0},
      {"grey JPEG", ImageFormat::kJpeg, JpegImage(16, 16, flat), 2, 2, {60, 60, 60, 60}, 1},
      {"colour JPEG", ImageFormat::kJpeg, JpegImage(16, 16, flat, false, true), 1, 1, {60}, 1},
      {"progressive JPEG",
       ImageFormat::kJpeg,
       JpegImage(16, 16, flat, true),
       1,
       3,
       {60, 60, 60},
       1},
  };
  for (const GoodImage &c : cases) {
    SCOPED_TRACE(c.name);
    Bytes rows;
    EXPECT_EQ(ReadAll(c.image, c.format, c.width, c.height, nullptr, &rows), "");
    ASSERT_EQ(rows.size(), c.rows.size());
    for (size_t i = 0; i < rows.size(); i++) {
      EXPECT_NEAR(rows[i], c.rows[i], c.tolerance) << "pixel " << i;
    }
  }
}

}  // namespace
