//
// Stream summary: what each page costs in commands, bytes, dots and time on the serial line.
//

#ifndef QUILLMARSH_PREVIEW_STREAM_SUMMARY_H
#define QUILLMARSH_PREVIEW_STREAM_SUMMARY_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "printer_stream.h"

// A serial line carries a start bit, 8 data bits and a stop bit for every byte.
constexpr int kLineBitsPerByte = 10;

// The printer's feed unit is 1/120 inch.
constexpr double kFeedUnitsPerInch = 120.0;

struct PageSummary {
  size_t bands;
  uint64_t dots;                        // set pins in the page's graphics data
  size_t bytes;                         // all bytes of the page's commands
  size_t bytes_by_kind[kCommandKinds];  // indexed by CommandKind
  int64_t advance;                      // feed units the page moved the paper
  bool form_feed;                       // the page ended with a form feed
};

// Counts one command of a page: its bytes (all of them at bytes) and the dots of graphics.
// The bands are the layout's count.
void CountCommand(PageSummary &summary, const PrinterCommand &command, const unsigned char *bytes);

// Seconds that bytes take on a serial line at baud bits per second.
double LineSeconds(uint64_t bytes, long baud);

// The summary, printed as the stream is read: the job line and the table's heading (when there
// are pages), one row for page number `page`, and the bytes after the last page (when there
// are pages and such bytes).
void PrintSummaryHead(FILE *out, size_t stream_bytes, size_t pages, size_t bands, uint64_t dots,
                      long baud);
void PrintSummaryRow(FILE *out, size_t page, const PageSummary &summary, long baud);
void PrintSummaryTail(FILE *out, size_t stream_bytes, size_t pages, size_t page_bytes);

#endif  // QUILLMARSH_PREVIEW_STREAM_SUMMARY_H
