//
// Paper sizes and margins of the Vorne printer, from the PPD's CustomMedia lines.
//

#include "paper_sizes.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

// Points in an inch.
constexpr double kPointsPerInch = 72.0;

// Cut sheets keep the 8-inch print line centred and lose the last third of an inch; A5 is
// fed sideways, so its left edge is the foot of the sheet; fanfold has no top or bottom
// margin and 9.5 x 11 inch paper keeps its tractor strips.
const PaperSize kPaperSizes[] = {
    {"na_letter_8.5x11in", 18, 24, 18, 0},      // cut sheet, print line centred
    {"iso_a4_210x297mm", 9.5, 24, 9.5, 0},      // cut sheet, print line centred
    {"iso_a5_148x210mm", 24, 9.5, 0, 9.5},      // fed sideways
    {"oe_fanfold_9.5x11in", 54, 0, 54, 0},      // fanfold with its tractor strips
    {"na_fanfold-eur_8.5x12in", 18, 0, 18, 0},  // European fanfold, strips torn off
};
const size_t kPaperSizeCount = sizeof kPaperSizes / sizeof kPaperSizes[0];

//
// 'FindPaperSize()' - Find one of the PPD's sizes by its PWG name; null when not one of them.
//

const PaperSize *FindPaperSize(const char *pwgName) {
  if (pwgName == nullptr) {
    return nullptr;
  }
  for (const PaperSize &paper : kPaperSizes) {
    if (strcmp(paper.pwgName, pwgName) == 0) {
      return &paper;
    }
  }
  return nullptr;
}

//
// 'DefaultPaperSize()' - A4 when the system's paper is A4, otherwise Letter.
//

const PaperSize &DefaultPaperSize() {
  const PaperSize &letter = kPaperSizes[0];
  FILE *file = fopen("/etc/papersize", "r");
  if (file == nullptr) {
    return letter;
  }
  char line[64] = "";
  bool a4 = false;
  // The file's first line that is not a comment names the paper.
  while (fgets(line, sizeof line, file) != nullptr) {
    if (line[0] == '#' || line[0] == '\n') {
      continue;
    }
    a4 = strncasecmp(line, "a4", 2) == 0 && (line[2] == '\0' || line[2] == '\n');
    break;
  }
  fclose(file);
  return a4 ? kPaperSizes[1] : letter;
}

// A length in points as whole pixels at dpi, to the nearest, as CUPS sizes its rasters.
static unsigned Pixels(double points, unsigned dpi) {
  return static_cast<unsigned>(std::lround(std::max(0.0, points) * dpi / kPointsPerInch));
}

//
// 'PrintableAreaOf()' - The part of a whole-page raster inside the paper's margins.
//
// The area starts at the left and top margins and spans the page less both margins, each
// rounded to whole pixels; it never reaches beyond the page.
//

PrintableArea PrintableAreaOf(const PaperSize *paper, unsigned width, unsigned height,
                              unsigned xdpi, unsigned ydpi) {
  PrintableArea area{0, 0, width, height};
  if (paper == nullptr) {
    return area;
  }
  area.left = std::min(Pixels(paper->left, xdpi), width);
  area.top = std::min(Pixels(paper->top, ydpi), height);
  unsigned right = std::min(Pixels(paper->right, xdpi), width - area.left);
  unsigned bottom = std::min(Pixels(paper->bottom, ydpi), height - area.top);
  area.width = width - area.left - right;
  area.height = height - area.top - bottom;
  return area;
}

//
// 'CutToPrintLine()' - Keep the middle 8 inches of an area wider than the print line.
//

PrintableArea CutToPrintLine(PrintableArea area, unsigned xdpi) {
  const unsigned line = kPrintLineInches * xdpi;
  if (area.width > line) {
    area.left += (area.width - line) / 2;
    area.width = line;
  }
  return area;
}
