//
// The paper the Vorne printer takes, as the PPD lists it: PWG media names, the margins the
// head cannot reach, and the part of a whole-page raster that the printer's raster covers.
//

#ifndef QUILLMARSH_APP_PAPER_SIZES_H
#define QUILLMARSH_APP_PAPER_SIZES_H

#include <cstddef>

// One paper size of the PPD: its PWG name and margins in points (1/72 inch), as the PPD's
// CustomMedia lines give them.
struct PaperSize {
  const char *pwgName;
  double left, bottom, right, top;
};

// The PPD's five sizes, Letter first.
extern const PaperSize kPaperSizes[];
extern const size_t kPaperSizeCount;

// The custom size range (the PPD's MinSize and MaxSize) as PAPPL's media names.
constexpr const char *kCustomMinName = "custom_min_1x1in";
constexpr const char *kCustomMaxName = "custom_max_8x22in";

// The size named pwgName, or null for custom and unknown sizes (which have no margins).
const PaperSize *FindPaperSize(const char *pwgName);

// The default size: A4 where the system's paper is A4 (/etc/papersize, as libpaper reads
// it), otherwise Letter.
const PaperSize &DefaultPaperSize();

// Where the printable area of a paper size lies in a raster of the whole page: the first
// column and row, and how many columns and rows it spans. CUPS renders documents for the PPD
// into this area only, so pages the application renders itself are cut to it.
struct PrintableArea {
  unsigned left, top, width, height;
};

// The print line: the head covers 8 inches across. The longest page: the custom size's
// largest length, 22 inches.
constexpr unsigned kPrintLineInches = 8;
constexpr unsigned kLongestPageInches = 22;

// The printable area of a page of width x height pixels at xdpi x ydpi on the given paper
// (the whole page when paper is null), held inside the page.
PrintableArea PrintableAreaOf(const PaperSize *paper, unsigned width, unsigned height,
                              unsigned xdpi, unsigned ydpi);

// The area held to the print line at xdpi: an area wider than the line keeps its middle
// (cut sheets have the line centred); a narrower one is returned as it is.
PrintableArea CutToPrintLine(PrintableArea area, unsigned xdpi);

#endif  // QUILLMARSH_APP_PAPER_SIZES_H
