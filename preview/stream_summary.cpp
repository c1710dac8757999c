//
// Stream summary: count a page's bands, dots and bytes and print them with the line time.
//

#include "stream_summary.h"

#include <bitset>

//
// 'CountCommand()' - Add one command's bytes, by kind, and the dots of its graphics data.
//

void CountCommand(PageSummary &summary, const PrinterCommand &command, const unsigned char *bytes) {
  summary.bytes += command.length;
  summary.bytes_by_kind[static_cast<int>(command.kind)] += command.length;
  if (command.kind == CommandKind::kGraphics) {
    for (size_t i = kGraphicsHeaderBytes; i < command.length; i++) {
      summary.dots += std::bitset<8>(bytes[i]).count();
    }
  }
}

double LineSeconds(uint64_t bytes, long baud) {
  return static_cast<double>(bytes) * kLineBitsPerByte / static_cast<double>(baud);
}

// The table's columns of bytes, in the order printed, with their headings.
static const struct {
  CommandKind kind;
  const char *heading;
} kByteColumns[] = {
    {CommandKind::kGraphics, "graphics"},  {CommandKind::kSkip, "skip"},
    {CommandKind::kFeed, "feed"},          {CommandKind::kCarriageReturn, "CR"},
    {CommandKind::kFormFeed, "FF"},        {CommandKind::kQualityLetter, "ESC-I"},
    {CommandKind::kQualityDraft, "ESC-D"},
};

//
// 'PrintSummaryHead()' - Print the job line and, when there are pages, the table's heading.
//
// The line time is what a user waits for: at 9600 baud a page of graphics takes minutes on
// the line, far longer than the filter takes to make it.
//

void PrintSummaryHead(FILE *out, size_t stream_bytes, size_t pages, size_t bands, uint64_t dots,
                      long baud) {
  fprintf(out, "stream: %zu bytes, %zu pages, %zu bands, %llu dots; line time %.2f s at %ld baud\n",
          stream_bytes, pages, bands, static_cast<unsigned long long>(dots),
          LineSeconds(stream_bytes, baud), baud);
  if (pages == 0) {
    return;
  }
  fprintf(out, "%4s %6s %9s %8s", "page", "bands", "dots", "bytes");
  for (const auto &column : kByteColumns) {
    fprintf(out, " %8s", column.heading);
  }
  fprintf(out, " %10s %10s\n", "line time", "advance");
}

//
// 'PrintSummaryRow()' - Print one page's row: bands, dots, bytes by command kind, line time,
// and how far the page moved the paper: in inches when it ended by feeding its length, "form
// feed" when the printer's form length decides.
//

void PrintSummaryRow(FILE *out, size_t page, const PageSummary &summary, long baud) {
  fprintf(out, "%4zu %6zu %9llu %8zu", page, summary.bands,
          static_cast<unsigned long long>(summary.dots), summary.bytes);
  for (const auto &column : kByteColumns) {
    fprintf(out, " %8zu", summary.bytes_by_kind[static_cast<int>(column.kind)]);
  }
  fprintf(out, " %8.2f s", LineSeconds(summary.bytes, baud));
  if (summary.form_feed) {
    fprintf(out, " %10s\n", "form feed");
  } else {
    fprintf(out, " %7.2f in\n", static_cast<double>(summary.advance) / kFeedUnitsPerInch);
  }
}

void PrintSummaryTail(FILE *out, size_t stream_bytes, size_t pages, size_t page_bytes) {
  if (pages > 0 && page_bytes != stream_bytes) {
    fprintf(out, "after the last page: %zu bytes\n", stream_bytes - page_bytes);
  }
}
