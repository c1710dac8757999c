//
// A Vorne command stream as the printer takes it, for the tests: read with the preview's
// parser and page layout, cut into pages and bands, and drawn into struck dots.
//

#ifndef QUILLMARSH_TESTS_SUPPORT_PRINTED_JOB_H
#define QUILLMARSH_TESTS_SUPPORT_PRINTED_JOB_H

#include <cstdint>
#include <string>
#include <vector>

// A rectangle of dots, in 1/180-inch columns and rows from the top left of the printable
// area; right and bottom are inclusive. Empty when no dot was printed.
struct DotBox {
  int left = 0, top = 0, right = -1, bottom = -1;
  bool empty() const {
    return right < left;
  }
  int width() const {
    return right - left + 1;
  }
  int height() const {
    return bottom - top + 1;
  }
};

// One band as the printer took it, printed or blank: its top dot row and the graphics columns
// it sent.
struct PrintedBand {
  int row;
  int columns;
};

// One sheet: its bands and every dot that was struck.
struct PrintedPage {
  std::vector<PrintedBand> bands;
  int64_t width = 0, height = 0;
  std::vector<unsigned char> marks;  // width x height, the preview's marks

  bool Dot(int column, int row) const;
  DotBox Ink() const;                    // the smallest box holding every dot
  long DotsIn(const DotBox &box) const;  // dots struck inside the box
};

// A job as the printer took it. error is empty when the stream follows the printer's grammar to
// the end: the quality prologue, then pages of bands each closed by a carriage return, each page
// closed by a form feed. Otherwise it says what broke and where.
struct PrintedJob {
  bool draft = false;
  std::vector<PrintedPage> pages;
  std::string error;
};

PrintedJob DecodeStream(const unsigned char *stream, size_t size);
PrintedJob DecodeStream(const std::string &stream);
PrintedJob DecodeStream(const std::vector<unsigned char> &stream);

#endif  // QUILLMARSH_TESTS_SUPPORT_PRINTED_JOB_H
