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

// The two raster resolutions the printer takes, in dots per inch.
constexpr int kLowResolution = 180;
constexpr int kHighResolution = 360;

// Fills the engine's options for a page of xdpi x ydpi; false when the printer cannot print
// a raster of that resolution (the page must then be refused).
bool PageJobOptions(const PrintSettings &settings, unsigned xdpi, unsigned ydpi,
                    JobOptions &options);

// A media offset in hundredths of millimetres as whole dots at 1/180 inch, rounded to the
// nearest dot.
int32_t DotsFromHundredthsMm(int hundredths);

#endif  // QUILLMARSH_APP_PRINT_SETTINGS_H
