//
// Job options from IPP settings, as the CUPS filter fills them from the PPD's choices.
//

#include "print_settings.h"

// Hundredths of a millimetre in an inch, and dots in an inch at the calibration's unit.
constexpr int64_t kHundredthsMmPerInch = 2540;
constexpr int64_t kCalibrationDotsPerInch = 180;

//
// 'PageJobOptions()' - Fill the engine's options for a page of the given raster resolution.
//
// 180 x 180 prints as the PPD's "180dpi" (halftoned), and so does 180 x 90 with each row
// printed twice (RowCopies); 360 x 360 as "360dpi" (thresholded) when the job optimizes for
// text, otherwise as "360x360dpi" (merged across, halftoned). Any other resolution is refused: the
// engine would print it at the wrong size. Draft quality is the PPD's "DraftQuality"; the margins
// are 7 dots a millimetre, and the calibration offsets are added to them as the filter adds
// *Xoffset and *Yoffset.
//

bool PageJobOptions(const PrintSettings &settings, unsigned xdpi, unsigned ydpi,
                    JobOptions &options) {
  options = JobOptions{};
  if (xdpi == kLowResolution && (ydpi == kLowResolution || ydpi == kDraftRowResolution)) {
    options.xResolution = kLowResolution;
    options.yResolution = kLowResolution;
  } else if (xdpi == kHighResolution && ydpi == kHighResolution) {
    options.xResolution = kHighResolution;
    options.yResolution = settings.textContent ? kHighResolution : kLowResolution;
  } else {
    return false;
  }

  options.quality = settings.draft ? 0 : 1;
  options.topMargin = HoldToInt32(kMarginStep * settings.topMargin + settings.yOffset);
  options.leftMargin = HoldToInt32(kMarginStep * settings.leftMargin + settings.xOffset);
  options.turnPages = settings.turnPages;
  options.pageEnd = settings.feedPageLength ? kPageEndFeed : kPageEndFormFeed;
  return true;
}

//
// 'RowCopies()' - How many times each raster row is printed: twice at 90 rows an inch.
//

unsigned RowCopies(unsigned ydpi) {
  return ydpi == kDraftRowResolution ? 2 : 1;
}

//
// 'RenderResolution()' - The resolution a rendered document is made at, from the job's
//                        print-quality and the printer's defaults.
//
// High quality is 360 dpi, draft and normal 180 dpi; a job that asks for no quality takes
// the printer's default quality, and for draft and normal the printer's default resolution
// (which an administrator may have set to 360). A job that asks for a resolution is not
// asked here: it gets it, whatever its print-quality.
//

int RenderResolution(int jobQuality, int defaultQuality, int defaultResolution) {
  if (jobQuality != kQualityNone) {
    return jobQuality == kQualityHigh ? kHighResolution : kLowResolution;
  }
  if (defaultQuality == kQualityHigh) {
    return kHighResolution;
  }
  return defaultResolution > 0 ? defaultResolution : kLowResolution;
}

//
// 'DotsFromHundredthsMm()' - Convert a media offset to dots at 1/180 inch, to the nearest.
//
// Every whole number of dots has an offset in hundredths (and in tenths) of a millimetre that
// converts back to it, so a calibration in dots can be set exactly.
//

int32_t DotsFromHundredthsMm(int hundredths) {
  int64_t scaled = int64_t{hundredths} * kCalibrationDotsPerInch;
  int64_t half = kHundredthsMmPerInch / 2;
  int64_t dots = scaled >= 0 ? (scaled + half) / kHundredthsMmPerInch
                             : -((-scaled + half) / kHundredthsMmPerInch);
  return HoldToInt32(dots);
}
