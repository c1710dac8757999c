//
// Page layout of a printer stream: where on the paper each graphics command puts its dots,
// followed command by command, and a page drawn dot row by dot row as its graphics arrive.
//
// The geometry is the printer's: one dot per 1/180 inch across and down, 24 pins per band with
// the top pin in the most significant bit of a column's first byte, a feed unit of 1.5 dot
// rows, a carriage return back to the left edge, skips and graphics moving the head right.
//

#ifndef QUILLMARSH_PREVIEW_PAGE_LAYOUT_H
#define QUILLMARSH_PREVIEW_PAGE_LAYOUT_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "printer_stream.h"

constexpr int kPinRows = 24;

// One graphics command on the page: the dot row of its top pin, its first column, where its
// column data starts in the stream and how many columns it holds.
struct PlacedGraphics {
  int64_t top_row;
  int64_t column;
  size_t data_offset;
  int columns;
};

// One page, from the page's first command to its form feed. Graphics and bands are in stream
// order, which is also top to bottom since the paper only moves forward; they are kept only
// when the layout is asked to keep them.
struct PreviewPage {
  int64_t width;   // dot columns, up to the farthest the head moved
  int64_t height;  // dot rows, down to the lowest printed row or the last feed
  size_t bands;    // passes of the head that printed
  std::vector<PlacedGraphics> graphics;
  std::vector<int64_t> band_tops;  // the top dot row of every pass of the head that printed
  bool ended;                      // closed by a form feed, or by a feed to the page's length
  bool form_feed;                  // closed by a form feed
  int64_t advance;  // feed units (1/120 inch) the page moved the paper, form feed aside
};

// The head and the paper while a page is laid out.
struct PageCursor {
  int64_t feed_units;  // paper moved since the top of the page
  int64_t column;      // head position
  bool in_band;        // the head has printed since the last feed or carriage return
  bool used;           // the page has printed or moved the paper
  bool after_feed;     // the last command was a feed
  bool after_return;   // the last command was a carriage return
};

// What one command did on the page, for a caller that draws as the commands come.
struct PageStep {
  bool page_ended;          // the command is the form feed that ends the page
  bool next_page;           // the command begins the next page: this one ended with its feed
  bool band_started;        // graphics that begin a pass of the head, at graphics.top_row
  PlacedGraphics graphics;  // where graphics went; columns is 0 for any other command
};

// An empty page and the head at its top left.
void StartPage(PreviewPage &page, PageCursor &cursor);

// Lays out one command of a page; with keep, graphics and band tops are kept in the page. A
// command that begins the next page (next_page) is not laid out: the caller starts the next
// page and lays it out there.
PageStep LayOutCommand(PreviewPage &page, PageCursor &cursor, const PrinterCommand &command,
                       bool keep);

// Lays out every page of a parsed stream (which must be ok), keeping graphics and band tops.
// Commands after the last form feed make a page only when they print or move the paper.
std::vector<PreviewPage> LayOutPages(const ParsedStream &parsed);

// What a point of the drawn page shows: a dot, and the band edges it lies on when asked for.
constexpr unsigned char kMarkPaper = 0;
constexpr unsigned char kMarkDot = 1;
constexpr unsigned char kMarkBandTop = 2;
constexpr unsigned char kMarkBandBottom = 4;

// A page being drawn: only the 24 dot rows a pass of the head can reach are held, so memory
// is 24 rows of the page's width however long the page. Rows are handed out top to bottom.
struct RowDrawer {
  int64_t width;
  int64_t height;
  bool band_edges;
  std::vector<unsigned char> window;  // kPinRows rows of width marks; row r at r % kPinRows
  std::vector<unsigned char> edges;   // band edge marks of each row in the window
  std::vector<unsigned char> row;     // the row last handed out
  int64_t next_row;                   // the first row not handed out yet
};

// Starts drawing a page of width x height dots, blank.
void StartRows(RowDrawer &rows, int64_t width, int64_t height, bool band_edges);

// Hands out the next row above `top` (top = height for all that are left), or nullptr when
// every row above it is out. No pass starting at or below `top` can reach those rows.
const unsigned char *TakeRow(RowDrawer &rows, int64_t top);

// Marks the top and bottom row of a band, and draws the pins of graphics data. Every row above
// their top must have been taken.
void AddBand(RowDrawer &rows, int64_t top);
void AddGraphics(RowDrawer &rows, const PlacedGraphics &graphics, const unsigned char *data);

// Draws a page laid out with its graphics kept: page.width x page.height marks.
std::vector<unsigned char> DrawPage(const PreviewPage &page, const unsigned char *stream,
                                    bool band_edges);

#endif  // QUILLMARSH_PREVIEW_PAGE_LAYOUT_H
