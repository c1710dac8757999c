//
// Stream summary: count a page's bands, dots and bytes and print them with the line time.
//

#include "stream_summary.h"

#include <bitset>

//
// 'SummarizePage()' - Count the bands, the dots and the bytes by command kind of one page.
//

PageSummary SummarizePage(const ParsedStream &parsed, const PreviewPage &page,
                          const unsigned char *stream) {
  PageSummary summary{page.band_tops.size(), 0, 0, {}};
  for (size_t i = page.first_command; i < page.first_command + page.command_count; i++) {
    const PrinterCommand &command = parsed.commands[i];
    summary.bytes += command.length;
    summary.bytes_by_kind[static_cast<int>(command.kind)] += command.length;
  }
  for (const PlacedGraphics &graphics : page.graphics) {
    const unsigned char *data = stream + graphics.data_offset;
    const size_t bytes = 3 * static_cast<size_t>(graphics.columns);
    for (size_t i = 0; i < bytes; i++) {
      summary.dots += std::bitset<8>(data[i]).count();
    }
  }
  return summary;
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
// 'PrintSummary()' - Print the job line and a table of pages: bands, dots, bytes by command
// kind and line time.
//
// The line time is what a user waits for: at 9600 baud a page of graphics takes minutes on
// the line, far longer than the filter takes to make it.
//

void PrintSummary(FILE *out, const std::vector<PageSummary> &pages, size_t stream_bytes,
                  long baud) {
  size_t bands = 0;
  uint64_t dots = 0;
  size_t pageBytes = 0;
  for (const PageSummary &page : pages) {
    bands += page.bands;
    dots += page.dots;
    pageBytes += page.bytes;
  }
  fprintf(out, "stream: %zu bytes, %zu pages, %zu bands, %llu dots; line time %.2f s at %ld baud\n",
          stream_bytes, pages.size(), bands, static_cast<unsigned long long>(dots),
          LineSeconds(stream_bytes, baud), baud);
  if (pages.empty()) {
    return;
  }

  fprintf(out, "%4s %6s %9s %8s", "page", "bands", "dots", "bytes");
  for (const auto &column : kByteColumns) {
    fprintf(out, " %8s", column.heading);
  }
  fprintf(out, " %10s\n", "line time");
  for (size_t i = 0; i < pages.size(); i++) {
    const PageSummary &page = pages[i];
    fprintf(out, "%4zu %6zu %9llu %8zu", i + 1, page.bands,
            static_cast<unsigned long long>(page.dots), page.bytes);
    for (const auto &column : kByteColumns) {
      fprintf(out, " %8zu", page.bytes_by_kind[static_cast<int>(column.kind)]);
    }
    fprintf(out, " %8.2f s\n", LineSeconds(page.bytes, baud));
  }
  if (pageBytes != stream_bytes) {
    fprintf(out, "after the last page: %zu bytes\n", stream_bytes - pageBytes);
  }
}
