//
// The settings of a print job in IPP terms, reduced to plain values, and how they become the
// band engine's job options: the same options the CUPS filter takes from the PPD's choices.
//

#ifndef QUILLMARSH_APP_PRINT_SETTINGS_H
#define QUILLMARSH_APP_PRINT_SETTINGS_H

#include <cstdint>

#include "engine/engine.h"

// What a job asks for, from its IPP attributes and the printer's settings.
struct PrintSettings {
  bool draft;           // print-quality=draft
  bool textContent;     // print-content-optimize=text
  int32_t topMargin;    // vorne-top-margin, millimetres (the PPD's TopMargin)
  int32_t leftMargin;   // vorne-left-margin, millimetres (the PPD's LeftMargin)
  int32_t xOffset;      // site calibration across, dots at 1/180 inch (the PPD's *Xoffset)
  int32_t yOffset;      // site calibration down, dots at 1/180 inch (the PPD's *Yoffset)
  bool turnPages;       // vorne-turn-pages (the filter's nopdfAutoRotate)
  bool feedPageLength;  // vorne-page-end=feed (the PPD's PageEnd=Feed)
};

// The limits of the vendor margin attributes, in millimetres, as the PPD's choices.
constexpr int kMarginMinMm = 0;
constexpr int kMarginMaxMm = 25;

// The two raster resolutions the printer takes, in dots per inch, and the half-height draft
// raster (180 x 90) that CUPS asks for as its driverless queues' "Draft" choice.
constexpr int kLowResolution = 180;
constexpr int kHighResolution = 360;
constexpr int kDraftRowResolution = 90;

// The print-quality values (IPP enum 3, 4, 5), and none asked for.
constexpr int kQualityNone = 0;
constexpr int kQualityDraft = 3;
constexpr int kQualityNormal = 4;
constexpr int kQualityHigh = 5;

// Fills the engine's options for a page of xdpi x ydpi; false when the printer cannot print
// a raster of that resolution (the page must then be refused).
bool PageJobOptions(const PrintSettings &settings, unsigned xdpi, unsigned ydpi,
                    JobOptions &options);

// How many times each raster row of a page of ydpi rows an inch is printed: twice for the
// 90-dpi draft raster, once otherwise.
unsigned RowCopies(unsigned ydpi);

// The resolution (dots per inch, across and down) at which the application renders a PDF,
// PNG or JPEG document of a job that does not ask for a printer-resolution: 360 for
// print-quality high and 180 for draft and normal, from the job's print-quality, or when it
// has none (kQualityNone) from the printer's print-quality-default, where normal and draft
// leave the printer's printer-resolution-default.
int RenderResolution(int jobQuality, int defaultQuality, int defaultResolution);

// A media offset in hundredths of millimetres as whole dots at 1/180 inch, rounded to the
// nearest dot.
int32_t DotsFromHundredthsMm(int hundredths);

#endif  // QUILLMARSH_APP_PRINT_SETTINGS_H
