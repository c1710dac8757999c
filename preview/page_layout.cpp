//
// Page layout: follow the head and the paper through the commands and draw the dots.
//

#include "page_layout.h"

#include <algorithm>
#include <cstring>

// A feed unit is 1.5 dot rows: the filter sends 2 units for every 3 rows of a band.
static int64_t RowsOfFeed(int64_t units) {
  return units * 3 / 2;
}

void StartPage(PreviewPage &page, PageCursor &cursor) {
  page.width = 0;
  page.height = 0;
  page.bands = 0;
  page.graphics.clear();
  page.band_tops.clear();
  page.ended = false;
  page.form_feed = false;
  page.advance = 0;
  cursor = PageCursor{0, 0, false, false, false, false};
}

//
// 'LayOutCommand()' - Follow one command: move the head or the paper, place graphics.
//
// The head starts each page at the top left. Feeds move the paper (rows counted from the top
// of the page), skips and graphics move the head right, a carriage return brings it back.
// A pass that prints is a band; a feed or carriage return ends it. A form feed ends the page.
// So does a feed to the page's length: every band begins with a feed followed by the head's
// move to its first column, and every page with a carriage return, so a carriage return right
// after a feed, or right after the carriage return that closed a band, begins the next page.
// Returns what the command did, with the place of its graphics.
//

PageStep LayOutCommand(PreviewPage &page, PageCursor &cursor, const PrinterCommand &command,
                       bool keep) {
  PageStep step{false, false, false, {0, 0, 0, 0}};
  if (command.kind == CommandKind::kCarriageReturn && cursor.used &&
      (cursor.after_feed || cursor.after_return)) {
    page.ended = true;
    step.next_page = true;
    return step;
  }
  cursor.after_feed = command.kind == CommandKind::kFeed;
  cursor.after_return = command.kind == CommandKind::kCarriageReturn;
  switch (command.kind) {
    case CommandKind::kQualityLetter:
    case CommandKind::kQualityDraft:
      break;
    case CommandKind::kCarriageReturn:
      cursor.column = 0;
      cursor.in_band = false;
      break;
    case CommandKind::kFeed:
      cursor.feed_units += command.value;
      page.advance = cursor.feed_units;
      page.height = std::max(page.height, RowsOfFeed(cursor.feed_units));
      cursor.in_band = false;
      cursor.used = true;
      break;
    case CommandKind::kSkip:
      cursor.column += command.value;
      page.width = std::max(page.width, cursor.column);
      break;
    case CommandKind::kGraphics: {
      const int64_t top = RowsOfFeed(cursor.feed_units);
      step.graphics = {top, cursor.column, command.offset + kGraphicsHeaderBytes, command.value};
      if (!cursor.in_band) {
        step.band_started = true;
        cursor.in_band = true;
        page.bands++;
        if (keep) {
          page.band_tops.push_back(top);
        }
      }
      if (keep) {
        page.graphics.push_back(step.graphics);
      }
      cursor.column += command.value;
      page.width = std::max(page.width, cursor.column);
      page.height = std::max(page.height, top + kPinRows);
      cursor.used = true;
      break;
    }
    case CommandKind::kFormFeed:
      page.ended = true;
      page.form_feed = true;
      step.page_ended = true;
      break;
  }
  return step;
}

//
// 'LayOutPages()' - Place every graphics command of a whole parsed stream on its page.
//

std::vector<PreviewPage> LayOutPages(const ParsedStream &parsed) {
  std::vector<PreviewPage> pages;
  PreviewPage page;
  PageCursor cursor;
  StartPage(page, cursor);
  for (const PrinterCommand &command : parsed.commands) {
    const PageStep step = LayOutCommand(page, cursor, command, true);
    if (step.page_ended || step.next_page) {
      pages.push_back(page);
      StartPage(page, cursor);
    }
    if (step.next_page) {
      LayOutCommand(page, cursor, command, true);
    }
  }
  if (cursor.used) {
    page.ended = page.ended || cursor.after_feed;  // a last page that ends with its feed
    pages.push_back(page);
  }
  return pages;
}

void StartRows(RowDrawer &rows, int64_t width, int64_t height, bool band_edges) {
  rows.width = width;
  rows.height = height;
  rows.band_edges = band_edges;
  rows.window.assign(static_cast<size_t>(kPinRows * width), kMarkPaper);
  rows.edges.assign(kPinRows, kMarkPaper);
  rows.row.assign(static_cast<size_t>(width), kMarkPaper);
  rows.next_row = 0;
}

//
// 'TakeRow()' - Hand out the next finished row, with its band edges, and clear its place.
//
// The returned marks stay valid until the next call; the row's place in the window is then
// free for the row 24 below it.
//

const unsigned char *TakeRow(RowDrawer &rows, int64_t top) {
  if (rows.next_row >= std::min(top, rows.height)) {
    return nullptr;
  }
  const size_t slot = static_cast<size_t>(rows.next_row % kPinRows);
  unsigned char *marks = rows.window.data() + slot * static_cast<size_t>(rows.width);
  const unsigned char edge = rows.edges[slot];
  for (int64_t x = 0; x < rows.width; x++) {
    rows.row[x] = marks[x] | edge;
  }
  memset(marks, kMarkPaper, static_cast<size_t>(rows.width));
  rows.edges[slot] = kMarkPaper;
  rows.next_row++;
  return rows.row.data();
}

//
// 'RowsInWindow()' - The pins of a pass at top that land on rows the window holds.
//
// Those are the rows from next_row on, 24 of them, and above the page's height. A pass whose
// rows were handed out already, or that reaches below the page (a file that changed between
// the reading that sized the page and the one that draws it), is cut to what is left.
//

static void RowsInWindow(const RowDrawer &rows, int64_t top, int &first_pin, int &end_pin) {
  const int64_t first = std::max<int64_t>(0, rows.next_row - top);
  const int64_t end =
      std::min<int64_t>({kPinRows, rows.next_row + kPinRows - top, rows.height - top});
  first_pin = static_cast<int>(std::min<int64_t>(first, kPinRows));
  end_pin = static_cast<int>(std::max<int64_t>(end, first_pin));
}

//
// 'AddBand()' - Mark the first and last dot row of a band, when band edges are drawn.
//

void AddBand(RowDrawer &rows, int64_t top) {
  if (!rows.band_edges) {
    return;
  }
  int firstPin, endPin;
  RowsInWindow(rows, top, firstPin, endPin);
  if (firstPin == 0 && endPin > 0) {
    rows.edges[static_cast<size_t>(top % kPinRows)] |= kMarkBandTop;
  }
  if (endPin == kPinRows && firstPin < kPinRows) {
    rows.edges[static_cast<size_t>((top + kPinRows - 1) % kPinRows)] |= kMarkBandBottom;
  }
}

//
// 'AddGraphics()' - Draw the pins of one graphics command into the rows it covers.
//

void AddGraphics(RowDrawer &rows, const PlacedGraphics &graphics, const unsigned char *data) {
  if (graphics.column >= rows.width) {
    return;
  }
  const int columns =
      static_cast<int>(std::min<int64_t>(graphics.columns, rows.width - graphics.column));
  int firstPin, endPin;
  RowsInWindow(rows, graphics.top_row, firstPin, endPin);
  for (int pin = firstPin; pin < endPin; pin++) {
    // Pin p of a column is bit 7 - p mod 8 of the column's byte p div 8.
    const size_t slot = static_cast<size_t>((graphics.top_row + pin) % kPinRows);
    const unsigned char *bytes = data + pin / 8;
    const unsigned char mask = static_cast<unsigned char>(0x80 >> (pin % 8));
    unsigned char *out =
        rows.window.data() + slot * static_cast<size_t>(rows.width) + graphics.column;
    for (int c = 0; c < columns; c++) {
      if (bytes[3 * static_cast<size_t>(c)] & mask) {
        out[c] |= kMarkDot;
      }
    }
  }
}

//
// 'DrawPage()' - Draw all rows of a page into one buffer of page.width x page.height marks.
//
// Graphics and band tops go to the drawer in stream order, each after the rows above it are
// out, as a page read from a stream is drawn.
//

std::vector<unsigned char> DrawPage(const PreviewPage &page, const unsigned char *stream,
                                    bool band_edges) {
  std::vector<unsigned char> marks(static_cast<size_t>(page.width * page.height));
  RowDrawer rows;
  StartRows(rows, page.width, page.height, band_edges);
  size_t done = 0;
  auto takeRowsAbove = [&](int64_t top) {
    while (const unsigned char *row = TakeRow(rows, top)) {
      std::copy(row, row + page.width, marks.begin() + static_cast<ptrdiff_t>(done));
      done += static_cast<size_t>(page.width);
    }
  };

  size_t band = 0;
  for (const PlacedGraphics &graphics : page.graphics) {
    takeRowsAbove(graphics.top_row);
    for (; band < page.band_tops.size() && page.band_tops[band] <= graphics.top_row; band++) {
      AddBand(rows, page.band_tops[band]);
    }
    AddGraphics(rows, graphics, stream + graphics.data_offset);
  }
  takeRowsAbove(page.height);
  return marks;
}
