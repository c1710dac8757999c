//
// The band engine of the Vorne 24-pin printer: grey raster rows in, printer command bytes out.
//
// It knows nothing of CUPS or PAPPL. A front end (the CUPS filter, the printer application)
// reads rows its own way and pushes them one at a time into a page record; the engine cuts the
// page into 24-row bands and hands every byte to a sink the front end owns. The front end
// decides when to stop and words its own messages from the statuses the steps return.
//

#ifndef QUILLMARSH_ENGINE_ENGINE_H
#define QUILLMARSH_ENGINE_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <vector>

// How a page ends: with a form feed, which moves the paper to the next top of form the printer's
// own form-length setting gives, or with a feed by the page's own length (forms of any length).
enum PageEnd : int32_t { kPageEndFormFeed = 0, kPageEndFeed = 1 };

// Settings of one job, fixed before its first page.
struct JobOptions {
  int32_t xResolution;     // dots per inch across: 0, 180 or 360 (360 merges row pairs)
  int32_t yResolution;     // dots per inch down: 0, 180 or 360 (180 halftones, else threshold)
  int32_t quality;         // 0 draft, 1 letter quality
  int32_t leftMargin;      // band columns skipped at the start of every band
  int32_t topMargin;       // band rows fed before the first band of every page
  bool turnPages = false;  // portrait pages of about 8 inches are printed turned a quarter turn
  PageEnd pageEnd = kPageEndFormFeed;
};

// Lengths along the paper for pages that end with a feed are counted in 1/360 inch: a third
// of the printer's feed unit (1/120 inch), so that every page length in points or in rows at
// 180 or 360 dpi is a whole number of them.
constexpr int64_t kFormStepsPerInch = 360;

// The length of a page as it goes through the printer, in 1/360 inch: from its size in
// points, or, where that is 0, from its rows at dpi (0 when both are unknown).
int64_t PageLength(uint32_t points, uint32_t rows, uint32_t dpi);

// The margins a job asks for are counted in steps of 7 dots, about a millimetre at 180 dpi;
// both front ends turn a margin of N steps into 7 x N band rows or columns.
constexpr int64_t kMarginStep = 7;

// A wide value held to the range of the job options' 32-bit fields instead of wrapping.
int32_t HoldToInt32(int64_t value);

// How a step ended. Anything but kPrintOk and kPrintCanceled ends the job: the front end
// reports it and pushes nothing more.
enum PrintStatus {
  kPrintOk,
  kPrintCanceled,     // the sink said the job was cancelled; the page still needs EndBands
  kPrintTooWide,      // the page has more band columns than the printer's 65535
  kPrintNoMemory,     // a buffer of the page or band could not be obtained
  kPrintWriteFailed,  // the sink could not take the bytes; nothing more is written
};

// Where a job's bytes go, and what the front end tells the engine while a page prints.
struct PrinterSink {
  void *context;
  // Takes count bytes; false when they could not all be written (the printer is gone).
  bool (*write)(void *context, const unsigned char *bytes, size_t count);
  // Whether the job has been cancelled; asked before every band. May be null: never.
  bool (*canceled)(void *context);
  // How far the page has been sent, in percent of its rows, a few times a page and 100 at
  // its end. May be null.
  void (*progress)(void *context, int percent);
  // Set by the engine once a write has failed; from then on nothing more is written.
  bool failed;
};

// A sink that appends to a byte buffer (for tests and in-memory jobs).
PrinterSink BufferSink(std::vector<unsigned char> &buffer);

// Hands bytes to the sink unless it has failed before; false when they were not all taken.
bool WriteToSink(PrinterSink &sink, const unsigned char *bytes, size_t count);

// One page being printed. Upright pages are cut into bands as their rows arrive; a turned page
// is kept whole and printed, turned, by EndBands. The fields are the engine's.
struct BandWriter {
  JobOptions options;
  bool merge;          // two raster rows make one band row of half the width (360 across)
  bool turned;         // the page is printed turned a quarter turn at its end
  PrintStatus status;  // kPrintOk while the page goes on; otherwise what ended its bands
  uint32_t rowBytes;   // bytes of every raster row pushed
  uint32_t rows;       // raster rows the page holds
  uint32_t rowsIn;     // raster rows pushed so far
  int bandWidth;       // band columns: pixels of a band row
  bool pairWaiting;    // 360 across: the first row of a pair waits in `first`
  bool bandBegun;      // rows of the current band have begun to arrive (cancel is asked once)
  int bandRows;        // rows gathered into the grey band
  int64_t feed;        // band rows to advance before the next band
  int progressShown;   // the last percent reported
  // Pages that end with a feed (kPageEndFeed): the page's length, and where the paper stands,
  // in 1/360 inch from the job's first page. formStart and paperFed carry over from page to
  // page of the same writer, so the fraction of a unit one page could not feed goes to the next.
  int64_t formLength;  // this page
  int64_t formStart;   // where this page's form began
  int64_t paperFed;    // how far the job's commands have fed the paper
  bool overran;        // a page's content ran past its length: it got no page-end feed
  size_t imageWidth;   // turned pages: the page image, before the turn
  size_t imageHeight;
  size_t imageRow;                                         // the next page-image row to fill
  std::vector<unsigned char> grey, packed, first, second;  // one band; a 360 row pair
  std::vector<unsigned char> image, turnedImage;           // turned pages only
};

// Whether a page of width x height pixels is printed turned under these options: the job asks
// for it, the page is portrait, and its height is about 8 inches at the job's resolution.
bool IsRotatedPage(const JobOptions &options, uint32_t width, uint32_t height);

// Writes the job prologue (print quality and carriage return), once before the first page.
PrintStatus StartDoc(const JobOptions &options, PrinterSink &sink);
// Ends the job; the printer needs nothing more.
PrintStatus EndDoc(PrinterSink &sink);

// Begins a page of rows raster rows of rowBytes grey bytes each (0 black, 255 white), turned
// or upright. formLength is the page's length through the printer in 1/360 inch (PageLength),
// used when the job's pages end with a feed. Obtains the page's buffers; an upright page's
// prologue is written at once.
PrintStatus StartBands(BandWriter &page, const JobOptions &options, uint32_t rowBytes,
                       uint32_t rows, bool turned, int64_t formLength, PrinterSink &sink);
// Where the next row may be read to spare a copy (rowBytes bytes); AddBandRow takes a row
// there in place.
unsigned char *NextRowBuffer(BandWriter &page);
// Takes the page's next raster row; writes a band when 24 band rows are in. Rows beyond the
// page's height are ignored. After kPrintCanceled the page takes no more rows and EndBands
// closes it; after a failure nothing more is written.
PrintStatus AddBandRow(BandWriter &page, const unsigned char *row, PrinterSink &sink);
// Ends the page: the last band of an upright page or the whole turned page, then the form
// feed (or the feed to the page's length); a cancelled page gets only its form feed (or
// feed), a failed one nothing. Returns what ended
// the page (kPrintCanceled for a cancelled one) and releases the page's buffers.
PrintStatus EndBands(BandWriter &page, PrinterSink &sink);

#endif  // QUILLMARSH_ENGINE_ENGINE_H
