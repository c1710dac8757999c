//
// Printer model for the driver tests: decode a Vorne command stream into struck dots.
//
// The head moves across in 1/180-inch columns; the paper moves up in feed units of 1/120
// inch, so the model keeps the paper position in 1/360 inch and a band's top row is half of
// it. A band strikes 24 rows: bit 7 of a column's first byte is its top row.
//

#include "printer_stream.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr unsigned char kEsc = 0x1B, kCr = 0x0D, kFormFeed = 0x0C;
constexpr int kBandRows = 24;

// Reads the stream front to back; every method either takes its bytes or records an error.
struct Reader {
  const std::string &bytes;
  size_t at = 0;
  std::string error;

  bool AtEnd() const {
    return at >= bytes.size();
  }
  int Peek(size_t ahead = 0) const {
    return at + ahead < bytes.size() ? static_cast<unsigned char>(bytes[at + ahead]) : -1;
  }
  bool Fail(const std::string &what) {
    char where[48];
    snprintf(where, sizeof where, " at byte %zu of %zu", at, bytes.size());
    if (error.empty()) {
      error = what + where;
    }
    return false;
  }
  // Takes ESC "%" letter and its parameter bytes; false, without moving, if another command.
  bool Command(char letter, int parameter_bytes, int *value) {
    if (Peek() != kEsc || Peek(1) != '%' || Peek(2) != letter) {
      return false;
    }
    if (at + 3 + parameter_bytes > bytes.size()) {
      return Fail("command cut short");
    }
    *value = 0;
    for (int i = 0; i < parameter_bytes; i++) {
      *value = *value * 256 + static_cast<unsigned char>(bytes[at + 3 + i]);
    }
    at += 3 + parameter_bytes;
    return true;
  }
};

void Strike(PrintedPage &page, int column, int row) {
  if (row >= static_cast<int>(page.dots.size())) {
    page.dots.resize(row + 1);
  }
  std::vector<uint8_t> &line = page.dots[row];
  if (column >= static_cast<int>(line.size())) {
    line.resize(column + 1, 0);
  }
  line[column] = 1;
}

// One band: feeds, the skip from the left edge, graphics and skips, carriage return.
bool ReadBand(Reader &in, PrintedPage &page, long &paper_360ths) {
  int value = 0, feeds = 0;
  while (in.Command('5', 1, &value)) {
    paper_360ths += 3L * value;
    feeds++;
  }
  if (feeds == 0) {
    return in.Fail("band without a feed command");
  }
  int column = 0;
  if (!in.Command('3', 2, &value)) {
    return in.Fail("band without its left skip");
  }
  column += value;

  PrintedBand band{static_cast<int>(paper_360ths / 2), 0};
  while (in.Peek() != kCr) {
    if (in.Command('3', 2, &value)) {
      column += value;
    } else if (in.Command('1', 2, &value)) {
      if (in.at + 3 * static_cast<size_t>(value) > in.bytes.size()) {
        return in.Fail("graphics data cut short");
      }
      for (int c = 0; c < value; c++, column++) {
        for (int r = 0; r < kBandRows; r++) {
          unsigned char byte = in.bytes[in.at + 3 * c + r / 8];
          if (byte & (0x80 >> (r % 8))) {
            Strike(page, column, band.row + r);
          }
        }
      }
      in.at += 3 * static_cast<size_t>(value);
      band.columns += value;
    } else {
      return in.Fail(in.AtEnd() ? "stream ends inside a band" : "unknown command in a band");
    }
  }
  in.at++;  // the carriage return that closes the band
  page.bands.push_back(band);
  return true;
}

}  // namespace

bool PrintedPage::Dot(int column, int row) const {
  return row >= 0 && row < static_cast<int>(dots.size()) && column >= 0 &&
         column < static_cast<int>(dots[row].size()) && dots[row][column] != 0;
}

DotBox PrintedPage::Ink() const {
  DotBox box;
  bool any = false;
  for (int row = 0; row < static_cast<int>(dots.size()); row++) {
    for (int column = 0; column < static_cast<int>(dots[row].size()); column++) {
      if (dots[row][column] == 0) {
        continue;
      }
      if (!any) {
        box = DotBox{column, row, column, row};
        any = true;
      }
      box.left = std::min(box.left, column);
      box.right = std::max(box.right, column);
      box.bottom = row;
    }
  }
  return box;
}

long PrintedPage::DotsIn(const DotBox &box) const {
  long count = 0;
  for (int row = box.top; row <= box.bottom; row++) {
    for (int column = box.left; column <= box.right; column++) {
      count += Dot(column, row) ? 1 : 0;
    }
  }
  return count;
}

PrintedJob DecodeStream(const std::string &stream) {
  PrintedJob job;
  Reader in{stream, 0, ""};

  // Job prologue: quality select, carriage return.
  if (in.Peek() != kEsc || (in.Peek(1) != 'I' && in.Peek(1) != 'D') || in.Peek(2) != kCr) {
    in.Fail("no quality prologue");
    job.error = in.error;
    return job;
  }
  job.draft = in.Peek(1) == 'D';
  in.at += 3;

  // Pages: carriage return, bands, form feed.
  while (!in.AtEnd()) {
    if (in.Peek() != kCr) {
      in.Fail("page does not begin with a carriage return");
      break;
    }
    in.at++;
    job.pages.emplace_back();
    long paper_360ths = 0;
    while (in.Peek() != kFormFeed) {
      if (in.AtEnd()) {
        in.Fail("last page has no form feed");
        break;
      }
      if (!ReadBand(in, job.pages.back(), paper_360ths)) {
        break;
      }
    }
    if (!in.error.empty()) {
      break;
    }
    in.at++;  // the form feed
  }
  job.error = in.error;
  return job;
}
