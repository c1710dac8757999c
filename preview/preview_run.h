//
// A run of the preview: the printer stream checked whole, then summarised and drawn page by
// page. Memory stays the same however long the stream: one command's bytes and, for a
// picture, 24 dot rows and one picture row of the page's width.
//

#ifndef QUILLMARSH_PREVIEW_PREVIEW_RUN_H
#define QUILLMARSH_PREVIEW_PREVIEW_RUN_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "page_picture.h"

// A picture file name pattern taken apart around its page number: before, the number padded
// to width (with zeros when zero_pad), after. numbered is false when the pattern has no %d.
struct NamePattern {
  std::string before;
  std::string after;
  bool numbered;
  bool zero_pad;
  int width;
};

// Takes apart an output pattern: "%%" for a percent sign and one "%d", "%Nd" or "%0Nd" for
// the page number. False when the pattern is anything else or empty.
bool ReadNamePattern(const char *text, NamePattern &pattern);

// The largest picture drawn unless asked for more. A Letter page (1530 x 1980 dots) is
// 3 million pixels at scale 1 and 76 million at scale 5; a hostile stream of a few hundred
// bytes can ask for 17 billion.
constexpr uint64_t kDefaultMaxPixels = 100000000;

// What a run is asked for.
struct PreviewRequest {
  bool pictures;  // write one picture per page
  NamePattern names;
  PictureOptions picture;
  int64_t paper_width;  // dots the pictures span at least, 0 for none
  int64_t paper_height;
  uint64_t max_pixels;  // pages whose picture would be larger are refused
  bool summary;         // print the summary on out
  long baud;
};

// Reads the stream from fd (called name in messages): checks every byte of it, then prints
// the summary and writes the pictures asked for, one page at a time. A stream that fails the
// check, or a page whose picture would be too large, gets an "ERROR: " line on messages
// before any output. Returns false after any failure, which messages then names.
bool RunPreview(int fd, const char *name, const PreviewRequest &request, FILE *out, FILE *messages);

#endif  // QUILLMARSH_PREVIEW_PREVIEW_RUN_H
