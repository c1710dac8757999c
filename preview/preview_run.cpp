//
// A run of the preview: one reading that checks the whole stream, then one that prints the
// summary and one that draws the pages, each a page at a time.
//
// Nothing is printed or drawn from a stream that fails its check, as before the stream was
// read in pieces. A file is read again from where it starts; a pipe is copied to a temporary
// file as it is checked, and the copy is read again.
//

#include "preview_run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "page_layout.h"
#include "printer_stream.h"
#include "stream_summary.h"

bool ReadNamePattern(const char *text, NamePattern &pattern) {
  pattern = NamePattern{std::string(), std::string(), false, false, 0};
  for (const char *p = text; *p != '\0'; p++) {
    std::string &out = pattern.numbered ? pattern.after : pattern.before;
    if (*p != '%') {
      out += *p;
      continue;
    }
    p++;
    if (*p == '%') {
      out += '%';
      continue;
    }
    if (pattern.numbered) {
      return false;
    }
    if (*p == '0') {
      pattern.zero_pad = true;
      p++;
    }
    while (*p >= '0' && *p <= '9' && pattern.width < 100) {
      pattern.width = pattern.width * 10 + (*p - '0');
      p++;
    }
    if (*p != 'd') {
      return false;
    }
    pattern.numbered = true;
  }
  return !pattern.before.empty() || pattern.numbered || !pattern.after.empty();
}

static std::string PageFileName(const NamePattern &pattern, size_t page) {
  if (!pattern.numbered) {
    return pattern.before;
  }
  std::string number = std::to_string(page);
  if (number.size() < static_cast<size_t>(pattern.width)) {
    number.insert(0, pattern.width - number.size(), pattern.zero_pad ? '0' : ' ');
  }
  return pattern.before + number + pattern.after;
}

// Where the stream can be read again: a descriptor, the offset there of the stream's first
// byte, and the stream's length found by the check.
struct StreamAgain {
  int fd;
  off_t start;
  size_t bytes;
};

// What the checking reading found in the whole stream.
struct StreamCheck {
  size_t bytes;
  size_t pages;
  size_t page_bytes;  // bytes of the pages' commands; the rest follows the last page
  size_t bands;
  uint64_t dots;
  bool last_ended;            // the last page ends with a form feed
  std::string picture_error;  // why the first page that cannot be drawn cannot, or empty
};

// The size of a page's picture in dots: at least the paper asked for.
struct PictureSize {
  int64_t width;
  int64_t height;
  bool blank;  // nothing to draw: the picture is one dot of paper
};

// A page being drawn as it is read again: its size, the rows within the head's reach, and
// the file.
struct PageDrawing {
  PictureSize size;
  RowDrawer rows;
  PictureFile picture;
};

// How reading one page ended.
enum class PageRead { kPage, kNoMorePages, kRefused, kReadFailed, kPictureFailed };

//
// 'WriteRowsAbove()' - Write every row above top that no later pass can reach.
//

static bool WriteRowsAbove(PageDrawing &drawing, int64_t top, std::string &error) {
  while (const unsigned char *row = TakeRow(drawing.rows, top)) {
    if (!WritePictureRow(drawing.picture, row, error)) {
      return false;
    }
  }
  return true;
}

//
// 'ReadPage()' - Read one page, up to its form feed or the end of the stream.
//
// The page is laid out without keeping its graphics, and summary counts its commands. With a
// drawing, started at the page's size, its graphics are drawn as they come and its rows are
// written as soon as the paper has moved past them. kNoMorePages: the stream ended with no
// page begun; the bytes read since the last page belong to none.
//

static PageRead ReadPage(StreamReader &reader, PreviewPage &page, PageSummary &summary,
                         PageDrawing *drawing, std::string &error) {
  PageCursor cursor;
  StartPage(page, cursor);
  summary = PageSummary{};
  for (;;) {
    PrinterCommand command;
    const unsigned char *bytes = nullptr;
    const StreamStep step = ReadNextCommand(reader, command, bytes, error);
    if (step == StreamStep::kRefused) {
      return PageRead::kRefused;
    }
    if (step == StreamStep::kFailed) {
      return PageRead::kReadFailed;
    }
    if (step == StreamStep::kEnd) {
      if (!cursor.used) {
        return PageRead::kNoMorePages;
      }
      // The last page of a job whose pages end with a feed to their length.
      page.ended = page.ended || cursor.after_feed;
      break;
    }

    const PageStep laid = LayOutCommand(page, cursor, command, false);
    if (laid.next_page) {
      UnreadCommand(reader, command);  // the next page's first command
      break;
    }
    CountCommand(summary, command, bytes);
    if (drawing != nullptr && !drawing->size.blank &&
        (laid.band_started || laid.graphics.columns > 0)) {
      if (!WriteRowsAbove(*drawing, laid.graphics.top_row, error)) {
        return PageRead::kPictureFailed;
      }
      if (laid.band_started) {
        AddBand(drawing->rows, laid.graphics.top_row);
      }
      AddGraphics(drawing->rows, laid.graphics, bytes + kGraphicsHeaderBytes);
    }
    if (laid.page_ended) {
      break;
    }
  }

  summary.bands = page.bands;
  summary.advance = page.advance;
  summary.form_feed = page.form_feed;
  if (drawing != nullptr && !WriteRowsAbove(*drawing, drawing->rows.height, error)) {
    return PageRead::kPictureFailed;
  }
  return PageRead::kPage;
}

//
// 'PictureSizeOf()' - The size of a page's picture, from its layout and the paper asked for.
//
// A page spans at least the paper, the dots beyond it included; a page with nothing on it
// becomes one dot of paper.
//

static PictureSize PictureSizeOf(const PreviewPage &page, const PreviewRequest &request) {
  const int64_t width = std::max(page.width, request.paper_width);
  const int64_t height = std::max(page.height, request.paper_height);
  return PictureSize{width, height, width == 0 || height == 0};
}

//
// 'PictureRefusal()' - Why page number `number` cannot be drawn, or an empty string.
//
// Its size is checked in dots either way, then in pixels after the scale, before anything is
// allocated for it: a few hundred bytes of long feeds and skips make a page of billions.
//

static std::string PictureRefusal(const PreviewPage &page, size_t number,
                                  const PreviewRequest &request) {
  const PictureSize size = PictureSizeOf(page, request);
  char text[200];
  if (size.width > kMaxPictureDots || size.height > kMaxPictureDots) {
    snprintf(text, sizeof text,
             "page %zu is %lld dots wide and %lld rows long; a picture is at most %lld either "
             "way.",
             number, static_cast<long long>(size.width), static_cast<long long>(size.height),
             static_cast<long long>(kMaxPictureDots));
    return text;
  }
  const uint64_t across = static_cast<uint64_t>(size.blank ? 1 : size.width) *
                          static_cast<uint64_t>(request.picture.scale);
  const uint64_t down = static_cast<uint64_t>(size.blank ? 1 : size.height) *
                        static_cast<uint64_t>(request.picture.scale);
  if (across * down > request.max_pixels) {
    snprintf(text, sizeof text,
             "page %zu would be a picture of %llu x %llu pixels (%llu pixels), more than the "
             "limit of %llu; --max-pixels raises it.",
             number, static_cast<unsigned long long>(across), static_cast<unsigned long long>(down),
             static_cast<unsigned long long>(across * down),
             static_cast<unsigned long long>(request.max_pixels));
    return text;
  }
  return std::string();
}

//
// 'CheckStream()' - Read the whole stream once: check every byte, count pages, bands, dots
// and bytes, and find the first page whose picture would be refused.
//
// Only the reader's buffer is held, whatever the stream's length. With copy_fd, every byte read
// is copied there. Returns false after an "ERROR: " line for a stream that is refused or
// cannot be read.
//

static bool CheckStream(int fd, int copy_fd, const char *name, const PreviewRequest &request,
                        StreamCheck &check, FILE *messages) {
  StreamReader reader;
  StartStreamReader(reader, fd, 0, SIZE_MAX, copy_fd);
  check = StreamCheck{0, 0, 0, 0, 0, false, std::string()};
  for (;;) {
    PreviewPage page;
    PageSummary summary;
    std::string error;
    switch (ReadPage(reader, page, summary, nullptr, error)) {
      case PageRead::kPage:
        break;
      case PageRead::kNoMorePages:
        check.bytes = reader.offset;
        return true;
      case PageRead::kRefused:
        fprintf(messages, "ERROR: %s is no valid printer stream: %s\n", name, error.c_str());
        return false;
      case PageRead::kReadFailed:
      case PageRead::kPictureFailed:
        fprintf(messages, "ERROR: %s: %s\n", name, error.c_str());
        return false;
    }
    check.pages++;
    check.page_bytes += summary.bytes;
    check.bands += summary.bands;
    check.dots += summary.dots;
    check.last_ended = page.ended;
    if (request.pictures && check.picture_error.empty()) {
      check.picture_error = PictureRefusal(page, check.pages, request);
    }
  }
}

//
// 'ReadAgainFrom()' - Set the reader at stream offset `offset` of the stream read again.
//
// The bytes still in the buffer serve when they reach back that far; otherwise the file is
// read from there. False with errno when it cannot be.
//

static bool ReadAgainFrom(StreamReader &reader, const StreamAgain &again, size_t offset,
                          bool started) {
  if (started && RewindStreamReader(reader, offset)) {
    return true;
  }
  if (lseek(again.fd, again.start + static_cast<off_t>(offset), SEEK_SET) < 0) {
    return false;
  }
  StartStreamReader(reader, again.fd, offset, again.bytes, -1);
  return true;
}

//
// 'ReportReadAgain()' - Say why reading the stream again failed.
//
// The check found every page whole, so a refusal now means that the file changed since.
//

static void ReportReadAgain(FILE *messages, const char *name, PageRead read,
                            const std::string &error) {
  if (read == PageRead::kRefused || read == PageRead::kNoMorePages) {
    fprintf(messages, "ERROR: %s changed while it was read: %s\n", name,
            read == PageRead::kRefused ? error.c_str() : "it holds fewer pages");
  } else if (read == PageRead::kPictureFailed) {
    fprintf(messages, "ERROR: %s\n", error.c_str());
  } else {
    fprintf(messages, "ERROR: %s: %s\n", name, error.c_str());
  }
}

//
// 'PrintSummary()' - Print the job line from the check, then read the stream again for one
// row per page.
//

static bool PrintSummary(const StreamAgain &again, const StreamCheck &check, const char *name,
                         const PreviewRequest &request, FILE *out, FILE *messages) {
  PrintSummaryHead(out, check.bytes, check.pages, check.bands, check.dots, request.baud);
  StreamReader reader;
  if (!ReadAgainFrom(reader, again, 0, false)) {
    fprintf(messages, "ERROR: %s: %s\n", name, strerror(errno));
    return false;
  }
  for (size_t number = 1; number <= check.pages; number++) {
    PreviewPage page;
    PageSummary summary;
    std::string error;
    const PageRead read = ReadPage(reader, page, summary, nullptr, error);
    if (read != PageRead::kPage) {
      ReportReadAgain(messages, name, read, error);
      return false;
    }
    PrintSummaryRow(out, number, summary, request.baud);
  }
  PrintSummaryTail(out, check.bytes, check.pages, check.page_bytes);
  return true;
}

//
// 'DrawPicture()' - Write the picture of page `number`, which starts at the reader.
//
// The page is read twice: once for its size, which the picture's header needs first, and once
// to draw it. Its size is checked again before anything is allocated for it, as the file may
// have changed since the check.
//

static bool DrawPicture(StreamReader &reader, const StreamAgain &again, size_t number,
                        const char *name, const PreviewRequest &request, FILE *messages) {
  const size_t start = reader.offset;
  PreviewPage page;
  PageSummary summary;
  std::string error;
  PageRead read = ReadPage(reader, page, summary, nullptr, error);
  if (read != PageRead::kPage) {
    ReportReadAgain(messages, name, read, error);
    return false;
  }
  const std::string refusal = PictureRefusal(page, number, request);
  if (!refusal.empty()) {
    fprintf(messages, "ERROR: %s\n", refusal.c_str());
    return false;
  }

  PageDrawing drawing{};
  drawing.size = PictureSizeOf(page, request);
  const int64_t across = drawing.size.blank ? 1 : drawing.size.width;
  const int64_t down = drawing.size.blank ? 1 : drawing.size.height;
  const std::string path = PageFileName(request.names, number);
  try {
    StartRows(drawing.rows, across, down, request.picture.band_edges);
    if (!ReadAgainFrom(reader, again, start, true)) {
      fprintf(messages, "ERROR: %s: %s\n", name, strerror(errno));
      return false;
    }
    if (!StartPicture(drawing.picture, path, across, down, request.picture.scale, error)) {
      fprintf(messages, "ERROR: %s\n", error.c_str());
      return false;
    }
    read = ReadPage(reader, page, summary, &drawing, error);
  } catch (const std::bad_alloc &) {
    AbandonPicture(drawing.picture);
    fprintf(messages, "ERROR: %s: not enough memory to draw page %zu, %lld x %lld dots.\n",
            path.c_str(), number, static_cast<long long>(across), static_cast<long long>(down));
    return false;
  }
  if (read != PageRead::kPage) {
    AbandonPicture(drawing.picture);
    ReportReadAgain(messages, name, read, error);
    return false;
  }
  if (!EndPicture(drawing.picture, error)) {
    fprintf(messages, "ERROR: %s\n", error.c_str());
    return false;
  }
  fprintf(messages, "INFO: %s: page %zu, %lld x %lld dots, %zu bands.\n", path.c_str(), number,
          static_cast<long long>(drawing.size.width), static_cast<long long>(drawing.size.height),
          page.bands);
  return true;
}

//
// 'DrawPictures()' - Check that every page can be drawn, then write one picture per page.
//
// The sizes were all checked in the first reading, so a stream that cannot be drawn leaves no
// partial set of pictures behind.
//

static bool DrawPictures(const StreamAgain &again, const StreamCheck &check, const char *name,
                         const PreviewRequest &request, FILE *messages) {
  if (check.pages > 1 && !request.names.numbered) {
    fprintf(messages,
            "ERROR: the stream holds %zu pages; --output needs %%d for the page number.\n",
            check.pages);
    return false;
  }
  if (!check.picture_error.empty()) {
    fprintf(messages, "ERROR: %s\n", check.picture_error.c_str());
    return false;
  }
  StreamReader reader;
  if (!ReadAgainFrom(reader, again, 0, false)) {
    fprintf(messages, "ERROR: %s: %s\n", name, strerror(errno));
    return false;
  }
  for (size_t number = 1; number <= check.pages; number++) {
    if (!DrawPicture(reader, again, number, name, request, messages)) {
      return false;
    }
  }
  return true;
}

//
// 'OpenCopy()' - Open an unnamed temporary file for the copy of a stream that cannot be read
// twice; -1 with errno when there is none.
//

static int OpenCopy() {
  const char *folder = getenv("TMPDIR");
  std::string path = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
                     "/quillmarsh-preview-XXXXXX";
  const int fd = mkstemp(&path[0]);
  if (fd >= 0) {
    unlink(path.c_str());
  }
  return fd;
}

//
// 'RunChecked()' - Check the stream, then print the summary and draw the pictures.
//

static bool RunChecked(int fd, int copy_fd, StreamAgain again, const char *name,
                       const PreviewRequest &request, FILE *out, FILE *messages) {
  StreamCheck check;
  if (!CheckStream(fd, copy_fd, name, request, check, messages)) {
    return false;
  }
  again.bytes = check.bytes;
  if (check.pages == 0) {
    fprintf(messages, "INFO: %s holds no page.\n", name);
  } else if (!check.last_ended) {
    fprintf(messages, "INFO: %s ends without a form feed; its last page is drawn as it stands.\n",
            name);
  }

  if (request.summary && !PrintSummary(again, check, name, request, out, messages)) {
    return false;
  }
  return !request.pictures || DrawPictures(again, check, name, request, messages);
}

//
// 'RunPreview()' - Read a stream from fd: a file from its current offset, anything else
// through a temporary copy; then check, summarise and draw it.
//

bool RunPreview(int fd, const char *name, const PreviewRequest &request, FILE *out,
                FILE *messages) {
  struct stat info;
  const off_t start = lseek(fd, 0, SEEK_CUR);
  if (start >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    return RunChecked(fd, -1, StreamAgain{fd, start, 0}, name, request, out, messages);
  }

  const int copy = OpenCopy();
  if (copy < 0) {
    fprintf(messages, "ERROR: %s: no temporary file for a copy of the stream: %s\n", name,
            strerror(errno));
    return false;
  }
  const bool done = RunChecked(fd, copy, StreamAgain{copy, 0, 0}, name, request, out, messages);
  close(copy);
  return done;
}
