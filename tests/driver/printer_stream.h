//
// A model of the Vorne 24-pin printer for the driver tests: what a command stream puts on
// paper, and whether the stream is whole.
//

#ifndef QUILLMARSH_TESTS_DRIVER_PRINTER_STREAM_H
#define QUILLMARSH_TESTS_DRIVER_PRINTER_STREAM_H

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

// One band as the printer printed it: its top row and how many graphics columns it sent.
struct PrintedBand {
  int row;
  int columns;
};

// One sheet: its bands and every dot that was struck.
struct PrintedPage {
  std::vector<PrintedBand> bands;
  std::vector<std::vector<uint8_t>> dots;  // dots[row][column], grown as the head moves

  bool Dot(int column, int row) const;
  DotBox Ink() const;                    // the smallest box holding every dot
  long DotsIn(const DotBox &box) const;  // dots struck inside the box
};

// A job as the printer took it. error is empty when the stream follows the printer's
// grammar to the end: the quality prologue, then pages of bands each closed by a carriage
// return, each page closed by a form feed. Otherwise it says what broke and where.
struct PrintedJob {
  bool draft = false;
  std::vector<PrintedPage> pages;
  std::string error;
};

PrintedJob DecodeStream(const std::string &stream);

#endif  // QUILLMARSH_TESTS_DRIVER_PRINTER_STREAM_H
