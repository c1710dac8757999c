//
// Page layout of a parsed printer stream: where on the paper each graphics command puts its
// dots, and how a page is drawn dot row by dot row.
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
// order, which is also top to bottom since the paper only moves forward.
struct PreviewPage {
  int64_t width;   // dot columns, up to the farthest the head moved
  int64_t height;  // dot rows, down to the lowest printed row or the last feed
  std::vector<PlacedGraphics> graphics;
  std::vector<int64_t> band_tops;  // the top dot row of every pass of the head that printed
  size_t first_command;            // the page's commands in the parsed stream
  size_t command_count;
  bool ended;  // closed by a form feed; false for printing left at the end of the stream
};

// Lays out every page of a parsed stream (which must be ok). Commands after the last form feed
// make a page only when they print or move the paper.
std::vector<PreviewPage> LayOutPages(const ParsedStream &parsed);

// What a point of the drawn page shows: a dot, and the band edges it lies on when asked for.
constexpr unsigned char kMarkPaper = 0;
constexpr unsigned char kMarkDot = 1;
constexpr unsigned char kMarkBandTop = 2;
constexpr unsigned char kMarkBandBottom = 4;

// Draws dot row `row` of the page into marks (page.width bytes).
void DrawPageRow(const PreviewPage &page, const unsigned char *stream, int64_t row, bool band_edges,
                 unsigned char *marks);

// Draws the whole page, row after row: page.width x page.height marks.
std::vector<unsigned char> DrawPage(const PreviewPage &page, const unsigned char *stream,
                                    bool band_edges);

#endif  // QUILLMARSH_PREVIEW_PAGE_LAYOUT_H
