//
// The printer's test page and the application's icon drawn from it: the head's full width with
// a ruler, the halftone steps, fine lines that show how a 360-dpi page is merged into the
// printer's 180-dpi bands, and the printer's settings in text. One procedure draws the page a row at a time; the test
// page job is that page as a PWG raster, the icon a reduced band of it as a PNG.
//

#ifndef QUILLMARSH_APP_TEST_PAGE_H
#define QUILLMARSH_APP_TEST_PAGE_H

#include <string>
#include <vector>

// The page: the 8-inch print line across, 4 inches down, 8-bit grey at 360 x 360 dpi.
constexpr unsigned kTestPageDpi = 360;
constexpr unsigned kTestPageWidth = 8 * kTestPageDpi;
constexpr unsigned kTestPageHeight = 4 * kTestPageDpi;

// What the page says about the printer.
struct TestPageFacts {
  int xResolution, yResolution;   // the printer's default resolution, dots per inch
  int topMarginMm, leftMarginMm;  // vorne-top-margin and vorne-left-margin defaults
  int leftOffset, topOffset;      // calibration of the loaded paper, hundredths of a millimetre
  bool feedPageLength;            // pages end with a feed to their length, not a form feed
};

// The lines of text the page prints for the facts (upper case, the page's font).
std::vector<std::string> TestPageText(const TestPageFacts &facts);

// 'DrawTestPageRow()' - Draw row y (0 to kTestPageHeight - 1) of the page into row, which
// holds kTestPageWidth grey pixels (0 black, 255 white), with the lines of text given.
void DrawTestPageRow(const std::vector<std::string> &text, unsigned y, unsigned char *row);

// 'WriteTestPage()' - Write the page as a one-page PWG raster (sgray_8) to fd; false when a
// write failed.
bool WriteTestPage(int fd, const TestPageFacts &facts);

// 'MakeIconPng()' - The application's icon, size x size pixels: the band of the test page
// with its ruler, steps and lines, reduced, as a grey PNG in png. False when libpng failed or
// no memory was left.
bool MakeIconPng(unsigned size, std::vector<unsigned char> &png);

#endif  // QUILLMARSH_APP_TEST_PAGE_H
