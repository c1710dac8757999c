//
// 'make_fuzz_seeds' - Write the seed corpus of the fuzz targets.
//
// Usage: make_fuzz_seeds raster-folder job-options-folder preview-folder
//
// The raster seeds are small streams written with libcups's own writer: streams without pages,
// normal pages at odd widths, the header shapes that crashed raster drivers (huge widths with
// one byte per line, bytes per line of 0x7FFFFFFF, other bit depths and colour spaces), tiny
// pages and A6 at a low resolution, streams cut inside a header and inside a row, and pages at
// the edges of the rotation windows. A whole stream carries one byte more that picks the job
// settings it is printed with (see raster_stream_fuzzer.cpp). The job option seeds are lines of
// PPD choice names and attribute values (see job_options_fuzzer.cpp), among them numbers at
// the 32-bit edges. The preview seeds are printer command streams with one byte more that
// picks the preview's settings (see preview_stream_fuzzer.cpp): pages as the filter writes
// them, overprinting, pages at and beyond the picture limit, and streams cut or spoilt.
//

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <cups/raster.h>

#include "grey_page_header.h"

using Bytes = std::vector<unsigned char>;

// One page of a seed: its header and the rows that follow it (maybe fewer than it promises).
struct SeedPage {
  cups_page_header2_t header;
  Bytes pixels;
};

static SeedPage Page(unsigned width, unsigned height, unsigned char fill = 0) {
  SeedPage page;
  page.header = GreyPageHeader(width, height, 180);
  page.pixels.assign(static_cast<size_t>(width) * height, fill);
  return page;
}

// A page with a header that lies about its size; it carries no rows.
static SeedPage Hostile(unsigned width, unsigned bytesPerLine, unsigned bitsPerPixel,
                        cups_cspace_t colorSpace = CUPS_CSPACE_W) {
  SeedPage page = Page(1, 1);
  page.header.cupsWidth = width;
  page.header.cupsBytesPerLine = bytesPerLine;
  page.header.cupsBitsPerPixel = bitsPerPixel;
  page.header.cupsColorSpace = colorSpace;
  page.pixels.clear();
  return page;
}

// A page with a diagonal line and a grey box, so that bands carry runs, skips and halftone.
static SeedPage Drawing(unsigned width, unsigned height) {
  SeedPage page = Page(width, height, 255);
  for (unsigned row = 0; row < height; row++) {
    page.pixels[static_cast<size_t>(row) * width + row % width] = 0;
    for (unsigned column = width / 2; column < width && row < height / 3; column++) {
      page.pixels[static_cast<size_t>(row) * width + column] = 100;
    }
  }
  return page;
}

// A white page with a black box at the top left and a grey one at the bottom right; its rows
// repeat, so it compresses well even when it is tall.
static SeedPage Boxes(unsigned width, unsigned height) {
  SeedPage page = Page(width, height, 255);
  for (unsigned row = 0; row < height; row++) {
    unsigned char *pixels = page.pixels.data() + static_cast<size_t>(row) * width;
    if (row < 30) {
      memset(pixels, 0, width / 3);
    } else if (row >= height - 40) {
      memset(pixels + width / 2, 150, width - width / 2);
    }
  }
  return page;
}

static ssize_t Collect(void *context, unsigned char *buffer, size_t bytes) {
  Bytes *stream = static_cast<Bytes *>(context);
  stream->insert(stream->end(), buffer, buffer + bytes);
  return static_cast<ssize_t>(bytes);
}

// The stream libcups writes for the pages in the given mode.
static Bytes Stream(const std::vector<SeedPage> &pages, cups_mode_t mode = CUPS_RASTER_WRITE) {
  Bytes stream;
  cups_raster_t *raster = cupsRasterOpenIO(Collect, &stream, mode);
  for (const SeedPage &page : pages) {
    cups_page_header2_t header = page.header;
    cupsRasterWriteHeader2(raster, &header);
    if (!page.pixels.empty()) {
      cupsRasterWritePixels(raster, const_cast<unsigned char *>(page.pixels.data()),
                            static_cast<unsigned>(page.pixels.size()));
    }
  }
  cupsRasterClose(raster);
  return stream;
}

static Bytes Cut(Bytes stream, size_t size) {
  stream.resize(std::min(size, stream.size()));
  return stream;
}

static void Write(const std::string &folder, const std::string &name, const Bytes &bytes) {
  std::string path = folder + "/" + name;
  FILE *file = fopen(path.c_str(), "wb");
  if (file == nullptr || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
      fclose(file) != 0) {
    perror(path.c_str());
    exit(1);
  }
}

// The job settings of the raster fuzz target, picked by a stream's last byte.
enum FuzzJob { k180 = 0, k360Turning = 1, k360By180 = 2, k180Turning = 3 };

// A whole stream with one byte more, which picks the job it is printed with.
static Bytes ForJob(Bytes stream, FuzzJob job) {
  stream.push_back(static_cast<unsigned char>(job));
  return stream;
}

static void WriteRasterSeeds(const std::string &folder) {
  const cups_mode_t compressed = CUPS_RASTER_WRITE_COMPRESSED;

  // Streams without pages, and the smallest pages.
  Write(folder, "empty", Bytes());
  Write(folder, "no-pages-v3", ForJob(Stream({}), k180));
  Write(folder, "no-pages-compressed", ForJob(Stream({}, compressed), k360Turning));
  Write(folder, "one-pixel", ForJob(Stream({Page(1, 1)}), k180));
  Write(folder, "one-row-of-7", ForJob(Stream({Page(7, 1)}, compressed), k360By180));
  Write(folder, "tiny-3x2", ForJob(Stream({Page(3, 2, 90)}), k360Turning));

  // Normal pages: a band and a bit, odd widths, several pages, drawings.
  Write(folder, "black-6x30", ForJob(Stream({Page(6, 30)}), k180));
  Write(folder, "black-6x30-at-360", ForJob(Stream({Page(6, 30)}), k360Turning));
  const SeedPage odd[] = {Page(13, 25, 127), Page(1, 49), Page(37, 3, 200)};
  Write(folder, "odd-widths", ForJob(Stream({odd[0], odd[1], odd[2]}), k360By180));
  Write(folder, "odd-widths-at-180", ForJob(Stream({odd[0], odd[1], odd[2]}), k180Turning));
  Write(folder, "drawing-101x60", ForJob(Stream({Drawing(101, 60)}, compressed), k360Turning));
  Write(folder, "drawing-999x5", ForJob(Stream({Drawing(999, 5)}, compressed), k360By180));

  // A6 at 72 dots per inch, white with a black corner.
  SeedPage a6 = Page(298, 420, 255);
  for (unsigned row = 0; row < 30; row++) {
    memset(a6.pixels.data() + row * 298, 0, 30);
  }
  Write(folder, "a6-at-72", ForJob(Stream({a6}, compressed), k180));

  // The header shapes that crashed raster drivers, some after a page that prints.
  Write(folder, "width-536870913-one-byte",
        ForJob(Stream({Page(6, 24), Hostile(536870913, 1, 8)}), k180));
  Write(folder, "bytes-per-line-7fffffff",
        ForJob(Stream({Hostile(0x7FFFFFFF, 0x7FFFFFFF, 8)}), k180));
  Write(folder, "bytes-per-line-7fffffff-compressed",
        ForJob(Stream({Hostile(0x7FFFFFFF, 0x7FFFFFFF, 8)}, compressed), k360Turning));
  Write(folder, "width-7fffffff-6-bytes", ForJob(Stream({Hostile(0x7FFFFFFF, 6, 8)}), k180Turning));
  Write(folder, "one-bit", ForJob(Stream({Hostile(48, 6, 1, CUPS_CSPACE_K)}), k180));
  Write(folder, "sixteen-bits", ForJob(Stream({Hostile(3, 6, 16)}), k360By180));
  Write(folder, "twenty-four-bits-grey", ForJob(Stream({Hostile(2, 6, 24)}), k360Turning));
  Write(folder, "rgb", ForJob(Stream({Hostile(2, 6, 24, CUPS_CSPACE_RGB)}), k180Turning));
  Write(folder, "zero-width", ForJob(Stream({Hostile(0, 1, 8)}), k180));
  Write(folder, "too-wide-at-180", ForJob(Stream({Page(65536, 1)}, compressed), k180));
  Write(folder, "too-wide-at-360", ForJob(Stream({Page(131071, 1)}, compressed), k360Turning));

  // Streams cut inside the sync word, a header, and a row; their last byte picks the job.
  Bytes two = Stream({Page(6, 30), Page(8, 10)});
  Write(folder, "cut-in-sync", Cut(two, 2));
  Write(folder, "cut-in-header", Cut(two, 1000));
  Write(folder, "cut-in-row", Cut(two, 4 + 1796 + 6 * 12 + 3));
  Write(folder, "cut-in-second-header", Cut(two, two.size() - 80 - 100));
  Bytes twoCompressed = Stream({Drawing(40, 30), Drawing(8, 10)}, compressed);
  Write(folder, "cut-compressed", Cut(twoCompressed, twoCompressed.size() - 7));

  // The rotation windows: just outside and just inside at both resolutions.
  Write(folder, "rotation-180-1400", ForJob(Stream({Boxes(30, 1400)}, compressed), k180Turning));
  Write(folder, "rotation-180-1401", ForJob(Stream({Boxes(30, 1401)}, compressed), k180Turning));
  Write(folder, "rotation-180-1499", ForJob(Stream({Boxes(31, 1499)}, compressed), k180Turning));
  Write(folder, "rotation-360-2800", ForJob(Stream({Boxes(41, 2800)}, compressed), k360Turning));
  Write(folder, "rotation-360-2801", ForJob(Stream({Boxes(41, 2801)}, compressed), k360Turning));
  Write(folder, "rotation-360-2999-then-page",
        ForJob(Stream({Boxes(40, 2999), Page(6, 24)}, compressed), k360Turning));
  Write(folder, "rotation-360-3000", ForJob(Stream({Boxes(40, 3000)}, compressed), k360Turning));
}

static void WriteJobOptionSeeds(const std::string &folder) {
  // Lines: Resolution, PrintQuality, TopMargin, LeftMargin, Xoffset, Yoffset, job options.
  Write(folder, "plain", Bytes{'1', '8', '0', 'd', 'p', 'i', '\n'});
  const char *seeds[][2] = {
      {"all-set", "360dpi\nDraftQuality\n10\n10\n15\n-80\nResolution=180dpi\n"},
      {"other-resolution", "360x180dpi\nLetterQuality\n0\n\n\n\n"},
      {"letter-case", "360DPI\ndraftquality\n-2\nabc\n+7x\n  12\n"},
      {"int32-ends", "180dpi\nq\n2147483647\n-2147483648\n2147483647\n-2147483648\n"},
      {"beyond-int32", "180dpi\nq\n2147483648\n-2147483649\n99999999999999999999\n-9e9\n"},
      {"times-seven-edge", "180dpi\nq\n306783378\n306783379\n-306783378\n-306783379\n"},
      {"offset-overflows-margin", "180dpi\nq\n300000000\n-300000000\n2147483647\n-2147483647\n"},
      {"job-picks-choice", "180dpi\nLetterQuality\n0\n0\n\n\nResolution=360dpi PrintQuality=x\n"},
  };
  for (const auto &seed : seeds) {
    Write(folder, seed[0], Bytes(seed[1], seed[1] + strlen(seed[1])));
  }
}

// Printer commands for the preview seeds.
static Bytes Graphics(const Bytes &columns) {
  const size_t count = columns.size() / 3;
  Bytes command = {0x1B, 0x25, 0x31, static_cast<unsigned char>(count >> 8),
                   static_cast<unsigned char>(count & 0xFF)};
  command.insert(command.end(), columns.begin(), columns.end());
  return command;
}

static Bytes Skip(unsigned columns) {
  return Bytes{0x1B, 0x25, 0x33, static_cast<unsigned char>(columns >> 8),
               static_cast<unsigned char>(columns & 0xFF)};
}

static Bytes Feed(unsigned units) {
  return Bytes{0x1B, 0x25, 0x35, static_cast<unsigned char>(units)};
}

static Bytes Join(std::initializer_list<Bytes> pieces) {
  Bytes joined;
  for (const Bytes &piece : pieces) {
    joined.insert(joined.end(), piece.begin(), piece.end());
  }
  return joined;
}

// A page of skips and feeds only, `columns` wide and `units` feed units long.
static Bytes MotionOnly(unsigned columns, unsigned units) {
  Bytes page;
  for (; columns > 0; columns -= std::min(columns, 65535u)) {
    page = Join({page, Skip(std::min(columns, 65535u))});
  }
  for (; units > 0; units -= std::min(units, 255u)) {
    page = Join({page, Feed(std::min(units, 255u))});
  }
  return Join({page, Bytes{0x0C}});
}

static void WritePreviewSeeds(const std::string &folder) {
  // Settings bytes (see preview_stream_fuzzer.cpp): scale in bits 0-1, band edges 4, paper 8,
  // summary 16, pipe 32.
  const Bytes prologue = {0x1B, 0x49, 0x0D};
  const Bytes band = Graphics({0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x01, 0x1B, 0x30, 0x00});
  const Bytes formFeed = {0x0C};
  Write(folder, "two-pages",
        Join({prologue, Feed(16), Skip(10), band, Bytes{0x0D}, formFeed, Feed(32), band,
              Bytes{0x0D}, formFeed, Bytes{0x1B, 0x44}, Bytes{0x15}}));
  Write(
      folder, "overprint",
      Join({prologue, band, Bytes{0x0D}, band, Bytes{0x0D}, Skip(1), band, formFeed, Bytes{0x06}}));
  Write(folder, "no-form-feed", Join({prologue, Feed(3), band, Bytes{0x0D, 0x3A}}));
  Write(folder, "graphics-of-no-columns",
        Join({Graphics({}), Bytes{0x0D}, Graphics({}), Feed(1), formFeed, Bytes{0x24}}));
  // 256 x 256 dots are the fuzz target's limit at scale 1; one column more is over it.
  Write(folder, "page-at-the-limit", Join({MotionOnly(256, 171), Bytes{0x10}}));
  Write(folder, "page-over-the-limit", Join({MotionOnly(257, 171), Bytes{0x30}}));
  Write(folder, "giant-page", Join({MotionOnly(131071, 87226), Bytes{0x13}}));
  Write(folder, "many-form-feeds", Join({Bytes(40, 0x0C), Bytes{0x20}}));
  Write(folder, "bad-byte-after-a-page",
        Join({prologue, band, formFeed, Bytes{0x0D, 0x0A, 0x0C}, Bytes{0x11}}));
  Write(folder, "graphics-cut-short",
        Join({prologue, Bytes{0x1B, 0x25, 0x31, 0x00, 0x04, 0xFF, 0x00}, Bytes{0x35}}));
}

int main(int argc, char *argv[]) {
  if (argc != 4) {
    fputs("usage: make_fuzz_seeds raster-folder job-options-folder preview-folder\n", stderr);
    return 1;
  }
  WriteRasterSeeds(argv[1]);
  WriteJobOptionSeeds(argv[2]);
  WritePreviewSeeds(argv[3]);
  return 0;
}
