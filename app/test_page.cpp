//
// The printer's test page, drawn a row at a time, as a PWG raster for the test page job and
// reduced to the application's icon.
//

#include "test_page.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>

#include <cups/raster.h>

namespace {

// Where things are on the page, in rows and columns at 360 dpi.
constexpr unsigned kTitleTop = 0;
constexpr unsigned kRulerTop = 70;  // the ruler's line, 4 rows thick
constexpr unsigned kRulerLine = 4;
constexpr unsigned kInchTick = 110;  // tick lengths below the line
constexpr unsigned kHalfInchTick = 70;
constexpr unsigned kTenthTick = 35;
constexpr unsigned kRulerDigitsTop = 200;
constexpr unsigned kStepsTop = 260, kStepsBottom = 500;
constexpr unsigned kStepCount = 16;
constexpr unsigned kLinesTop = 540, kLinesBottom = 780;
constexpr unsigned kLineBlockWidth = 720, kLineBlockGap = 36;
constexpr unsigned kSettingsTop = 840;
constexpr unsigned kTextPitch = 55;

// The font: 5 x 7 dots, each dot kTextScale pixels square, kGlyphAdvance dots a character.
constexpr unsigned kGlyphWidth = 5, kGlyphHeight = 7, kGlyphAdvance = 6, kTextScale = 5;

// The icon is the ruler, steps and lines of the page's left half.
constexpr unsigned kIconTop = 60, kIconBottom = kLinesBottom, kIconWidth = kTestPageWidth / 2;

// One character: its rows, the leftmost dot in bit 4.
struct Glyph {
  char c;
  unsigned char rows[kGlyphHeight];
};

const Glyph kGlyphs[] = {
    {'A', {0x0E, 0x11, 0x11, 0x11, 0x1F, 0x11, 0x11}},
    {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'D', {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}},
    {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}},
    {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {',', {0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'/', {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x00}},
    {'(', {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02}},
    {')', {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08}},
};

// The rows of a character; null for a space or a character the font does not have.
const unsigned char *GlyphRows(char c) {
  for (const Glyph &glyph : kGlyphs) {
    if (glyph.c == c) {
      return glyph.rows;
    }
  }
  return nullptr;
}

// Blackens columns [from, to) of the row, cut to the page.
void Blacken(unsigned char *row, unsigned from, unsigned to) {
  if (to > kTestPageWidth) {
    to = kTestPageWidth;
  }
  if (from < to) {
    memset(row + from, 0, to - from);
  }
}

// Draws pixel row dy (0 to kGlyphHeight * kTextScale - 1) of text starting at column left.
void DrawTextRow(const std::string &text, unsigned dy, unsigned left, unsigned char *row) {
  unsigned dotRow = dy / kTextScale;
  for (size_t i = 0; i < text.size(); i++) {
    const unsigned char *rows = GlyphRows(text[i]);
    unsigned x = left + static_cast<unsigned>(i) * kGlyphAdvance * kTextScale;
    if (rows == nullptr || x >= kTestPageWidth) {
      continue;
    }
    for (unsigned dot = 0; dot < kGlyphWidth; dot++) {
      if (rows[dotRow] & (0x10 >> dot)) {
        Blacken(row, x + dot * kTextScale, x + (dot + 1) * kTextScale);
      }
    }
  }
}

// Draws the row of text lines that starts at top, if row y falls in it.
void DrawTextLine(const std::string &text, unsigned top, unsigned y, unsigned left,
                  unsigned char *row) {
  if (y >= top && y < top + kGlyphHeight * kTextScale) {
    DrawTextRow(text, y - top, left, row);
  }
}

// The ruler: a line across the print line, ticks every inch, half and tenth of an inch below
// it, and the inches numbered.
void DrawRulerRow(unsigned y, unsigned char *row) {
  if (y >= kRulerTop && y < kRulerTop + kRulerLine) {
    Blacken(row, 0, kTestPageWidth);
    return;
  }
  if (y >= kRulerTop + kRulerLine) {
    unsigned below = y - kRulerTop - kRulerLine;
    const unsigned tenth = kTestPageDpi / 10;
    for (unsigned tick = 0; tick <= 80; tick++) {
      unsigned x = tick * tenth;
      unsigned length = tick % 10 == 0 ? kInchTick : tick % 5 == 0 ? kHalfInchTick : kTenthTick;
      unsigned half = tick % 10 == 0 ? 4 : 2;  // 4 and 2 dots wide at 180 dpi
      if (below < length) {
        Blacken(row, x >= half ? x - half : 0, x + half);
      }
    }
  }
  const unsigned digitWidth = kGlyphWidth * kTextScale;
  for (unsigned inch = 0; inch <= 8; inch++) {
    unsigned x = inch * kTestPageDpi;
    unsigned left = inch < 8 ? x + 10 : x - 10 - digitWidth;
    DrawTextLine(std::string(1, static_cast<char>('0' + inch)), kRulerDigitsTop, y, left, row);
  }
}

// The halftone steps: white to black in kStepCount equal steps across the line.
void DrawStepsRow(unsigned char *row) {
  const unsigned width = kTestPageWidth / kStepCount;
  for (unsigned step = 0; step < kStepCount; step++) {
    unsigned char grey = static_cast<unsigned char>(255 - step * 255 / (kStepCount - 1));
    memset(row + step * width, grey, width);
  }
}

// The fine lines, four blocks that show how a 360-dpi page becomes the printer's 180-dpi
// bands (the darker of each two rows, the mean of each two columns): single rows (which stay
// black), single columns (which turn grey), columns two dots wide on a pair (which stay black),
// and a cross-hatch of single dots.
void DrawLinesRow(unsigned y, unsigned char *row) {
  unsigned dy = y - kLinesTop;
  for (unsigned x = 0; x < kTestPageWidth; x++) {
    unsigned block = x / kLineBlockWidth, dx = x % kLineBlockWidth;
    if (dx >= kLineBlockWidth - kLineBlockGap) {
      continue;
    }
    bool black = false;
    switch (block) {
      case 0:
        black = dy % 6 == 0;
        break;
      case 1:
        black = dx % 6 == 0;
        break;
      case 2:
        black = dx % 6 < 2;
        break;
      default:
        black = (dx + dy) % 18 == 0 || (dx + 18 * kLineBlockWidth - dy) % 18 == 0;
        break;
    }
    if (black) {
      row[x] = 0;
    }
  }
}

// Where libpng's write callback puts the PNG's bytes.
struct PngOutput {
  std::vector<unsigned char> *bytes;
  bool failed;  // no memory was left for some of them
};

// libpng's write callback: the bytes appended to the output (no exception through libpng).
void AppendPng(png_structp png, png_bytep data, png_size_t length) {
  auto *out = static_cast<PngOutput *>(png_get_io_ptr(png));
  try {
    out->bytes->insert(out->bytes->end(), data, data + length);
  } catch (const std::bad_alloc &) {
    out->failed = true;
  }
}

// libpng's error callback: back to the setjmp in EncodePng.
void PngFailed(png_structp png, png_const_charp message) {
  (void)message;
  png_longjmp(png, 1);
}

// Encodes size x size grey pixels as a PNG into out; false when libpng failed. Nothing with a
// destructor lives in this frame, which a libpng error leaves by longjmp.
bool EncodePng(const unsigned char *pixels, unsigned size, PngOutput *out) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, PngFailed, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, out, AppendPng, nullptr);
  png_set_IHDR(png, info, size, size, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (unsigned y = 0; y < size; y++) {
    png_write_row(png, pixels + static_cast<size_t>(y) * size);
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return !out->failed;
}

}  // namespace

//
// 'TestPageText()' - The title and the printer's settings, as the page prints them.
//

std::vector<std::string> TestPageText(const TestPageFacts &facts) {
  char line[4][128];
  snprintf(line[0], sizeof line[0], "RESOLUTION %d X %d DPI (THIS PAGE %u X %u DPI)",
           facts.xResolution, facts.yResolution, kTestPageDpi, kTestPageDpi);
  snprintf(line[1], sizeof line[1], "EXTRA MARGINS: TOP %d MM, LEFT %d MM", facts.topMarginMm,
           facts.leftMarginMm);
  snprintf(line[2], sizeof line[2], "CALIBRATION: LEFT %d.%02d MM, TOP %d.%02d MM",
           facts.leftOffset / 100, facts.leftOffset % 100, facts.topOffset / 100,
           facts.topOffset % 100);
  snprintf(line[3], sizeof line[3], "PAGE END: %s",
           facts.feedPageLength ? "FEED TO THE PAGE LENGTH" : "FORM FEED");
  return {"QUILLMARSH TEST PAGE - VORNE 24-PIN, 8 IN PRINT LINE", line[0], line[1], line[2],
          line[3]};
}

//
// 'DrawTestPageRow()' - Draw one row of the test page: white, then what crosses it.
//

void DrawTestPageRow(const std::vector<std::string> &text, unsigned y, unsigned char *row) {
  memset(row, 255, kTestPageWidth);
  if (!text.empty()) {
    DrawTextLine(text[0], kTitleTop, y, 0, row);
  }
  if (y >= kRulerTop && y < kStepsTop) {
    DrawRulerRow(y, row);
  } else if (y >= kStepsTop && y < kStepsBottom) {
    DrawStepsRow(row);
  } else if (y >= kLinesTop && y < kLinesBottom) {
    DrawLinesRow(y, row);
  }
  for (size_t i = 1; i < text.size(); i++) {
    DrawTextLine(text[i], kSettingsTop + static_cast<unsigned>(i - 1) * kTextPitch, y, 0, row);
  }
}

//
// 'WriteTestPage()' - Write the test page as a one-page PWG raster.
//

bool WriteTestPage(int fd, const TestPageFacts &facts) {
  const int hundredthsMmPerInch = 2540;
  pwg_media_t *media =
      pwgMediaForSize(static_cast<int>(kTestPageWidth / kTestPageDpi) * hundredthsMmPerInch,
                      static_cast<int>(kTestPageHeight / kTestPageDpi) * hundredthsMmPerInch);
  cups_page_header2_t header;
  if (media == nullptr ||
      !cupsRasterInitPWGHeader(&header, media, "sgray_8", kTestPageDpi, kTestPageDpi, "one-sided",
                               nullptr) ||
      header.cupsWidth != kTestPageWidth || header.cupsHeight != kTestPageHeight) {
    return false;
  }
  // What may fail for memory is made before the raster is opened.
  std::vector<std::string> text;
  std::vector<unsigned char> row;
  try {
    text = TestPageText(facts);
    row.resize(kTestPageWidth);
  } catch (const std::bad_alloc &) {
    return false;
  }
  cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  if (raster == nullptr) {
    return false;
  }
  bool ok = cupsRasterWriteHeader2(raster, &header) != 0;
  for (unsigned y = 0; ok && y < kTestPageHeight; y++) {
    DrawTestPageRow(text, y, row.data());
    ok = cupsRasterWritePixels(raster, row.data(), kTestPageWidth) == kTestPageWidth;
  }
  cupsRasterClose(raster);
  return ok;
}

//
// 'MakeIconPng()' - Reduce the ruler, steps and lines of the page's left half to an icon.
//
// Each icon pixel is the mean of the page's pixels it covers.
//

bool MakeIconPng(unsigned size, std::vector<unsigned char> &png) {
  const unsigned bandHeight = kIconBottom - kIconTop;
  if (size == 0 || size > bandHeight) {
    return false;
  }
  try {
    std::vector<unsigned long> sums(static_cast<size_t>(size) * size, 0);
    std::vector<unsigned long> counts(sums.size(), 0);
    std::vector<unsigned char> row(kTestPageWidth);
    std::vector<std::string> text;  // the band has no text
    for (unsigned y = kIconTop; y < kIconBottom; y++) {
      DrawTestPageRow(text, y, row.data());
      size_t iconRow = static_cast<size_t>(y - kIconTop) * size / bandHeight;
      for (unsigned x = 0; x < kIconWidth; x++) {
        size_t at = iconRow * size + static_cast<size_t>(x) * size / kIconWidth;
        sums[at] += row[x];
        counts[at]++;
      }
    }
    std::vector<unsigned char> pixels(sums.size());
    for (size_t i = 0; i < pixels.size(); i++) {
      pixels[i] = static_cast<unsigned char>(sums[i] / counts[i]);
    }
    png.clear();
    PngOutput out{&png, false};
    return EncodePng(pixels.data(), size, &out);
  } catch (const std::bad_alloc &) {
    return false;
  }
}
