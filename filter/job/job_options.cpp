//
// Job options: resolution, print quality and margins, taken from the marked PPD.
//

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "job/job.h"

//
// 'ReadLeadingNumber()' - Read the decimal integer at the start of a text, as atoi does.
//
// White space and a sign may lead; reading stops at the first non-digit; no digits give 0.
// Numbers beyond the 32-bit range are held at its ends instead of wrapping.
//

int32_t ReadLeadingNumber(const char *text) {
  if (text == nullptr) {
    return 0;
  }
  long long value = std::strtoll(text, nullptr, 10);  // saturates at the 64-bit ends
  return HoldToInt32(value);
}

// The PPD interface of libcups is deprecated in favour of IPP, but a raster driver's options
// still come from its PPD; only these look-ups use it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

static const char *MarkedChoice(ppd_file_t *ppd, const char *keyword) {
  ppd_choice_t *choice = ppdFindMarkedChoice(ppd, keyword);
  return choice != nullptr ? choice->choice : nullptr;
}

static ppd_attr_t *FindAttribute(ppd_file_t *ppd, const char *keyword) {
  return ppdFindAttr(ppd, keyword, nullptr);
}

#pragma GCC diagnostic pop

//
// 'MarginFromChoice()' - The margin in dots that a choice named by a number asks for.
//

static int32_t MarginFromChoice(const char *name) {
  if (name == nullptr) {
    return 0;
  }
  return HoldToInt32(kMarginStep * ReadLeadingNumber(name));
}

//
// 'AddOffset()' - Add a calibration attribute's value to a margin and report the result.
//

static void AddOffset(ppd_file_t *ppd, const char *keyword, int32_t &margin) {
  ppd_attr_t *attr = FindAttribute(ppd, keyword);
  if (attr == nullptr) {
    return;
  }
  if (attr->value != nullptr) {
    margin = HoldToInt32(int64_t{margin} + ReadLeadingNumber(attr->value));
  }
  fprintf(stderr, "INFO: %s %d.\n", keyword, margin);
}

//
// 'SetVorneOptions()' - Fill the job options from the PPD's marked choices; returns 0.
//
// "360dpi" prints 360 x 360, "180dpi" 180 x 180, and any other resolution choice merges a 360
// dpi raster across and halftones it at 180 down. Only "DraftQuality" prints draft. TurnPages
// "True" asks for portrait pages of about 8 inches to be turned; PageEnd "Feed" for pages that
// end by feeding their own length.
//

int SetVorneOptions(JobOptions &options, ppd_file_t *ppd) {
  options = JobOptions{};

  if (const char *resolution = MarkedChoice(ppd, "Resolution")) {
    if (strcmp(resolution, "360dpi") == 0) {
      options.xResolution = 360;
      options.yResolution = 360;
    } else if (strcmp(resolution, "180dpi") == 0) {
      options.xResolution = 180;
      options.yResolution = 180;
    } else {
      options.xResolution = 360;
      options.yResolution = 180;
    }
    fprintf(stderr, "INFO: resolution %d %d.\n", options.xResolution, options.yResolution);
  }

  if (const char *quality = MarkedChoice(ppd, "PrintQuality")) {
    options.quality = strcmp(quality, "DraftQuality") == 0 ? 0 : 1;
  }

  options.topMargin = MarginFromChoice(MarkedChoice(ppd, "TopMargin"));
  options.leftMargin = MarginFromChoice(MarkedChoice(ppd, "LeftMargin"));

  AddOffset(ppd, "Xoffset", options.leftMargin);
  AddOffset(ppd, "Yoffset", options.topMargin);

  // The print dialog's way to ask for turned pages; the option string has another.
  const char *turn = MarkedChoice(ppd, "TurnPages");
  options.turnPages = turn != nullptr && strcmp(turn, "True") == 0;

  // Forms of any length: "Feed" ends every page by feeding the page's length; anything else
  // keeps the form feed, and the printer's own form length.
  const char *pageEnd = MarkedChoice(ppd, "PageEnd");
  if (pageEnd != nullptr && strcmp(pageEnd, "Feed") == 0) {
    options.pageEnd = kPageEndFeed;
    fputs("INFO: page end feed.\n", stderr);
  }
  return 0;
}

//
// 'AsksForTurnedPages()' - Whether the job's option string switches off the automatic
// rotation of PDF pages, which asks the filter to turn portrait pages of about 8 inches.
//
// Either spelling counts, anywhere in the string, whatever stands around it.
//

bool AsksForTurnedPages(const char *job_options) {
  return strstr(job_options, "nopdfAutorotate") != nullptr ||
         strstr(job_options, "nopdfAutoRotate") != nullptr;
}
