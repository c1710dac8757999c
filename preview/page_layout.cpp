//
// Page layout: follow the head and the paper through the commands and draw the dots.
//

#include "page_layout.h"

#include <algorithm>

// A feed unit is 1.5 dot rows: the filter sends 2 units for every 3 rows of a band.
static int64_t RowsOfFeed(int64_t units) {
  return units * 3 / 2;
}

static PreviewPage EmptyPage(size_t first_command) {
  return PreviewPage{0, 0, {}, {}, first_command, 0, false};
}

//
// 'LayOutPages()' - Place every graphics command of the stream on its page.
//
// The head starts each page at the top left. Feeds move the paper (rows counted from the top
// of the page), skips and graphics move the head right, a carriage return brings it back.
// A pass that prints is a band; a feed or carriage return ends it. A form feed ends the page.
//

std::vector<PreviewPage> LayOutPages(const ParsedStream &parsed) {
  std::vector<PreviewPage> pages;
  PreviewPage page = EmptyPage(0);
  int64_t feedUnits = 0;
  int64_t column = 0;
  bool inBand = false;
  bool used = false;  // the page has printed or moved the paper

  for (size_t i = 0; i < parsed.commands.size(); i++) {
    const PrinterCommand &command = parsed.commands[i];
    switch (command.kind) {
      case CommandKind::kQualityLetter:
      case CommandKind::kQualityDraft:
        break;
      case CommandKind::kCarriageReturn:
        column = 0;
        inBand = false;
        break;
      case CommandKind::kFeed:
        feedUnits += command.value;
        page.height = std::max(page.height, RowsOfFeed(feedUnits));
        inBand = false;
        used = true;
        break;
      case CommandKind::kSkip:
        column += command.value;
        page.width = std::max(page.width, column);
        break;
      case CommandKind::kGraphics: {
        const int64_t top = RowsOfFeed(feedUnits);
        if (!inBand) {
          page.band_tops.push_back(top);
          inBand = true;
        }
        page.graphics.push_back(
            {top, column, command.offset + kGraphicsHeaderBytes, command.value});
        column += command.value;
        page.width = std::max(page.width, column);
        page.height = std::max(page.height, top + kPinRows);
        used = true;
        break;
      }
      case CommandKind::kFormFeed:
        page.command_count = i + 1 - page.first_command;
        page.ended = true;
        pages.push_back(page);
        page = EmptyPage(i + 1);
        feedUnits = 0;
        column = 0;
        inBand = false;
        used = false;
        break;
    }
  }

  if (used) {
    page.command_count = parsed.commands.size() - page.first_command;
    pages.push_back(page);
  }
  return pages;
}

//
// 'DrawPageRow()' - Draw one dot row of a page: the dots of every band that covers it.
//
// Only bands whose 24 pins reach the row are visited; they are found by their top row, which
// never decreases along the page. With band_edges, the first and last row of every band are
// marked as well.
//

void DrawPageRow(const PreviewPage &page, const unsigned char *stream, int64_t row, bool band_edges,
                 unsigned char *marks) {
  std::fill(marks, marks + page.width, kMarkPaper);
  const int64_t lowestTop = row - (kPinRows - 1);

  if (band_edges) {
    auto band = std::lower_bound(page.band_tops.begin(), page.band_tops.end(), lowestTop);
    for (; band != page.band_tops.end() && *band <= row; ++band) {
      unsigned char edge = 0;
      if (row == *band) {
        edge |= kMarkBandTop;
      }
      if (row == *band + kPinRows - 1) {
        edge |= kMarkBandBottom;
      }
      for (int64_t x = 0; x < page.width; x++) {
        marks[x] |= edge;
      }
    }
  }

  auto first = std::lower_bound(
      page.graphics.begin(), page.graphics.end(), lowestTop,
      [](const PlacedGraphics &graphics, int64_t top) { return graphics.top_row < top; });
  for (auto graphics = first; graphics != page.graphics.end() && graphics->top_row <= row;
       ++graphics) {
    // Pin p of a column is bit 7 - p mod 8 of the column's byte p div 8.
    const int pin = static_cast<int>(row - graphics->top_row);
    const unsigned char *bytes = stream + graphics->data_offset + pin / 8;
    const unsigned char mask = static_cast<unsigned char>(0x80 >> (pin % 8));
    unsigned char *out = marks + graphics->column;
    for (int c = 0; c < graphics->columns; c++) {
      if (bytes[3 * static_cast<size_t>(c)] & mask) {
        out[c] |= kMarkDot;
      }
    }
  }
}

//
// 'DrawPage()' - Draw all rows of a page into one buffer of page.width x page.height marks.
//

std::vector<unsigned char> DrawPage(const PreviewPage &page, const unsigned char *stream,
                                    bool band_edges) {
  std::vector<unsigned char> marks(static_cast<size_t>(page.width * page.height));
  for (int64_t row = 0; row < page.height; row++) {
    DrawPageRow(page, stream, row, band_edges,
                marks.data() + static_cast<size_t>(row * page.width));
  }
  return marks;
}
