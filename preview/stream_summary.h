//
// Stream summary: what each page costs in commands, bytes, dots and time on the serial line.
//

#ifndef QUILLMARSH_PREVIEW_STREAM_SUMMARY_H
#define QUILLMARSH_PREVIEW_STREAM_SUMMARY_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "page_layout.h"
#include "printer_stream.h"

// A serial line carries a start bit, 8 data bits and a stop bit for every byte.
constexpr int kLineBitsPerByte = 10;

struct PageSummary {
  size_t bands;
  uint64_t dots;                        // set pins in the page's graphics data
  size_t bytes;                         // all bytes of the page's commands
  size_t bytes_by_kind[kCommandKinds];  // indexed by CommandKind
};

// Counts the commands, bytes and dots of one page of a parsed stream.
PageSummary SummarizePage(const ParsedStream &parsed, const PreviewPage &page,
                          const unsigned char *stream);

// Seconds that bytes take on a serial line at baud bits per second.
double LineSeconds(uint64_t bytes, long baud);

// Prints the summary of a whole stream of stream_bytes bytes: one line for the job and a few
// for every page.
void PrintSummary(FILE *out, const std::vector<PageSummary> &pages, size_t stream_bytes, long baud);

#endif  // QUILLMARSH_PREVIEW_STREAM_SUMMARY_H
