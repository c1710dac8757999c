//
// Image documents: PNG and JPEG read by image_reader.cpp, row by row, scaled to fit the
// printable area of the job's paper, centred, and pushed through the driver's raster
// callbacks as a grey page of the job's size. PAPPL's own image filters, which hold the whole
// picture in memory, are never reached: ours are registered for the driver's format, which
// PAPPL looks for first.
//

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "image_reader.h"
#include "paper_sizes.h"
#include "pappl_guards.h"
#include "printer_app.h"

// A white pixel.
constexpr unsigned char kWhite = 255;

// Where the scaled image lies on the page, in pixels of the page's raster.
struct ImagePlacement {
  unsigned left, top, width, height;
};

//
// 'PlaceImage()' - Scale the image to fit the printable area, keeping its proportions, and
//                  centre it there.
//

static ImagePlacement PlaceImage(const PrintableArea &area, unsigned imageWidth,
                                 unsigned imageHeight) {
  ImagePlacement place{area.left, area.top, area.width, area.height};
  const uint64_t across = static_cast<uint64_t>(imageWidth) * area.height;
  const uint64_t down = static_cast<uint64_t>(imageHeight) * area.width;
  if (across > down) {
    // Wider than the area: the width fills it.
    place.height = static_cast<unsigned>((down + imageWidth / 2) / imageWidth);
  } else {
    place.width = static_cast<unsigned>((across + imageHeight / 2) / imageHeight);
  }
  place.width = std::max(1u, place.width);
  place.height = std::max(1u, place.height);
  place.left += (area.width - place.width) / 2;
  place.top += (area.height - place.height) / 2;
  return place;
}

//
// 'PrintImagePage()' - Print one copy of the image as one page.
//
// Rows go in until the page ends or takes no more (a cancel stops it at the next band
// boundary). Returns false when the image failed on the way or a callback failed (both said
// why).
//

static bool PrintImagePage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                           ImageReader &reader, unsigned page) {
  const cups_page_header2_t &header = options->header;
  const PaperSize *paper = FindPaperSize(options->media.size_name);
  PrintableArea area = PrintableAreaOf(paper, header.cupsWidth, header.cupsHeight,
                                       header.HWResolution[0], header.HWResolution[1]);
  if (area.width == 0 || area.height == 0) {
    ReportJobFailure(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                     "The paper has no printable area for the image.");
    return false;
  }
  ImagePlacement place = PlaceImage(area, ImageWidth(reader), ImageHeight(reader));
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Image of %ux%u pixels printed as %ux%u from %u,%u.",
              ImageWidth(reader), ImageHeight(reader), place.width, place.height, place.left,
              place.top);

  if (!StartVornePage(job, options, device, page)) {
    return false;
  }
  // StartVornePage has checked the row length against what the printer can print.
  std::vector<unsigned char> row;
  try {
    row.resize(header.cupsBytesPerLine);
  } catch (const std::bad_alloc &) {
    ReportJobFailure(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Not enough memory for a raster row.");
    EndVornePage(job, options, device, page);
    return false;
  }
  bool ok = true;
  std::string message;
  for (unsigned y = 0; y < header.cupsHeight; y++) {
    memset(row.data(), kWhite, row.size());
    if (y >= place.top && y - place.top < place.height &&
        !ReadScaledRow(reader, place.width, place.height, &row[place.left], message)) {
      ReportJobFailure(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, message.c_str());
      ok = false;
      break;
    }
    if (!WriteVorneLine(job, options, device, y, row.data())) {
      break;
    }
  }
  return EndVornePage(job, options, device, page) && ok;
}

//
// 'PrintImage()' - Print a spooled image, copy after copy.
//
// The image is checked before the job starts on the printer: an image that is not one, is too
// large or is cut short before its first row sends nothing.
//

static bool PrintImage(pappl_job_t *job, pappl_device_t *device, ImageFormat format) {
  // The job's turn at the printer, and its device held, from the first moment to the last
  // (see pappl_guards.h).
  if (!EnterPrinterGate(job)) {
    return false;
  }
  device = HoldJobDevice(job, device);
  if (device == nullptr) {
    ReportJobFailure(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "The printer's device is not open.");
    LeavePrinterGate(job);
    return false;
  }
  const char *filename = papplJobGetFilename(job);
  FILE *file = filename != nullptr ? fopen(filename, "rbe") : nullptr;
  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 1, false);
  struct stat info;
  bool ok = false, started = false;
  unsigned page = 0;
  if (file == nullptr || fstat(fileno(file), &info) != 0) {
    ReportJobFailure(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Unable to open the spooled document.");
  } else if (options == nullptr) {
    ReportJobFailure(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                     "Not enough memory for the job options.");
  } else if (info.st_size == 0) {
    ReportJobFailure(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The document is empty.");
  } else {
    ok = true;
    int copies = options->copies > 0 ? options->copies : 1;
    for (int copy = 0; ok && copy < copies && !papplJobIsCanceled(job); copy++) {
      std::string message;
      ImageProblem problem;
      ImageReaderPtr reader = OpenImage(file, format, message, problem);
      if (!reader) {
        ReportJobFailure(job,
                         problem == ImageProblem::kTooLarge
                             ? PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR
                         : problem == ImageProblem::kNoMemory ? PAPPL_JREASON_ABORTED_BY_SYSTEM
                                                              : PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                         message.c_str());
        ok = false;
        break;
      }
      if (!started && !StartVorneJob(job, options, device)) {
        ok = false;
        break;
      }
      started = true;
      ok = PrintImagePage(job, options, device, *reader, ++page);
      if (ok) {
        papplJobSetImpressionsCompleted(job, 1);
      }
    }
  }
  if (started) {
    ok = EndVorneJob(job, options, device) && ok;
  }
  papplJobSetImpressions(job, static_cast<int>(page));
  if (options != nullptr) {
    papplJobDeletePrintOptions(options);
  }
  if (file != nullptr) {
    fclose(file);
  }
  ReleaseJobDevice(device);
  LeavePrinterGate(job);
  return ok;
}

//
// 'PrintPngDocument()' - The filter for PNG images.
//

bool PrintPngDocument(pappl_job_t *job, pappl_device_t *device, void *data) {
  (void)data;
  return PrintImage(job, device, ImageFormat::kPng);
}

//
// 'PrintJpegDocument()' - The filter for JPEG images.
//

bool PrintJpegDocument(pappl_job_t *job, pappl_device_t *device, void *data) {
  (void)data;
  return PrintImage(job, device, ImageFormat::kJpeg);
}
