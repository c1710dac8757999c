//
// The vorne24 driver: what the Vorne 24-pin printer offers to IPP clients, as its PPD does.
//

#include <cstdio>
#include <cstring>

#include "access_policy.h"
#include "paper_sizes.h"
#include "print_settings.h"
#include "printer_app.h"

// Hundredths of a millimetre in a point.
constexpr double kHundredthsMmPerPoint = 2540.0 / 72.0;

// The largest calibration offset offered (media-left-offset, media-top-offset): one inch.
constexpr int kMaxOffsetHundredthsMm = 2540;

// The one paper source: cut sheets and fanfold go in the same way as far as the print line
// is concerned.
constexpr const char *kSource = "main";

// The one media type: plain paper, cut or fanfold.
constexpr const char *kMediaType = "stationery";

// A margin in points as hundredths of a millimetre, to the nearest.
static int HundredthsMm(double points) {
  return static_cast<int>(points * kHundredthsMmPerPoint + 0.5);
}

//
// 'MediaFor()' - The media-col value of one of the PPD's paper sizes in the main source.
//
// PAPPL 1.3.1 accepts only the driver's one pair of margins for any media, so the paper's
// own margins (paper_sizes.cpp) are not offered here.
//

static pappl_media_col_t MediaFor(const PaperSize &paper, const pappl_pr_driver_data_t &data) {
  pappl_media_col_t media;
  memset(&media, 0, sizeof media);
  pwg_media_t *pwg = pwgMediaForPWG(paper.pwgName);
  snprintf(media.size_name, sizeof media.size_name, "%s", paper.pwgName);
  snprintf(media.source, sizeof media.source, "%s", kSource);
  snprintf(media.type, sizeof media.type, "%s", kMediaType);
  media.size_width = pwg != nullptr ? pwg->width : 0;
  media.size_length = pwg != nullptr ? pwg->length : 0;
  media.left_margin = media.right_margin = data.left_right;
  media.bottom_margin = media.top_margin = data.bottom_top;
  return media;
}

//
// 'AddPrinterFacts()' - Printer attributes that PAPPL 1.3.1 does not make and that are true of
//                       this printer.
//
// IPP Everywhere asks for them: it has no preferred attributes for a job; it prints grey, with
// no colour management to choose a rendering intent for (auto is the only one); and it prints
// one side, so the back of a sheet is never turned (normal).
//

static void AddPrinterFacts(ipp_t *attrs) {
  ippAddBoolean(attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-default", nullptr,
               "auto");
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-supported", nullptr,
               "auto");
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "pwg-raster-document-sheet-back", nullptr,
               "normal");
}

//
// 'AddVendorAttributes()' - Describe the vendor attributes: ranges, defaults, the web page.
//
// The margins are integers in millimetres, 0 to 25 as the PPD's choices; turned pages are a
// boolean; the page end a keyword, form-feed (the default, as in the PPD) or feed. PAPPL shows each
// on the printer's "Printing Defaults" page from its -supported value and saves the defaults in its
// state file. The printer's device URI is reported as smi55357-device-uri.
//

static bool AddVendorAttributes(pappl_pr_driver_data_t *data, const char *device_uri,
                                ipp_t **attrs) {
  ipp_t *vendor = ippNew();
  if (vendor == nullptr) {
    return false;
  }
  // The device, under the name Create-Printer takes it by: PAPPL 1.3.1 reports no device URI.
  if (device_uri != nullptr) {
    ippAddString(vendor, IPP_TAG_PRINTER, IPP_TAG_URI, "smi55357-device-uri", nullptr, device_uri);
  }
  for (const char *name : {kTopMarginAttr, kLeftMarginAttr}) {
    char supported[64], byDefault[64];
    snprintf(supported, sizeof supported, "%s-supported", name);
    snprintf(byDefault, sizeof byDefault, "%s-default", name);
    ippAddRange(vendor, IPP_TAG_PRINTER, supported, kMarginMinMm, kMarginMaxMm);
    ippAddInteger(vendor, IPP_TAG_PRINTER, IPP_TAG_INTEGER, byDefault, 0);
  }
  char supported[64], byDefault[64];
  snprintf(supported, sizeof supported, "%s-supported", kTurnPagesAttr);
  snprintf(byDefault, sizeof byDefault, "%s-default", kTurnPagesAttr);
  ippAddBoolean(vendor, IPP_TAG_PRINTER, supported, 1);
  ippAddBoolean(vendor, IPP_TAG_PRINTER, byDefault, 0);

  static const char *const kPageEnds[] = {"form-feed", "feed"};
  snprintf(supported, sizeof supported, "%s-supported", kPageEndAttr);
  snprintf(byDefault, sizeof byDefault, "%s-default", kPageEndAttr);
  ippAddStrings(vendor, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, supported, 2, nullptr, kPageEnds);
  ippAddString(vendor, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, byDefault, nullptr, kPageEnds[0]);

  data->num_vendor = 4;
  data->vendor[0] = kTopMarginAttr;
  data->vendor[1] = kLeftMarginAttr;
  data->vendor[2] = kTurnPagesAttr;
  data->vendor[3] = kPageEndAttr;
  *attrs = vendor;
  return true;
}

//
// 'SetUpVorneDriver()' - Fill the driver data of a vorne24 printer; false for another driver.
//
// The printer takes 8-bit grey rasters at 180 x 180 and 360 x 360 dpi and halftones them
// itself (see print_settings.cpp); 180 dpi is the default, as in the PPD. print-quality
// reaches every mode: draft the printer's draft quality, normal 180 dpi, high 360 dpi for the
// documents rendered here (job_requests.cpp). PAPPL also advertises urf-supported "RS180-360",
// from which CUPS's driverless queues make their "Draft" choice a 180 x 90 raster: it prints
// with each row twice. Media are the PPD's
// five sizes and its custom range. PAPPL keeps one pair of margins for all media: the cut
// sheets' (18 points at the sides, 24 at the foot, and the same at the head), which keeps
// clients inside the printable area of every size. Calibration offsets are the loaded
// paper's media-left-offset and media-top-offset, 0 to 1 inch. A file: device is refused
// unless the server allows them: it would write wherever the server's user may.
//

bool SetUpVorneDriver(pappl_system_t *system, const char *driver_name, const char *device_uri,
                      const char *device_id, pappl_pr_driver_data_t *data, ipp_t **attrs,
                      void *cbdata) {
  (void)device_id;
  const auto *app = static_cast<const AppContext *>(cbdata);
  if (IsFileDeviceUri(device_uri) && (app == nullptr || !app->fileDevices)) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR,
             "file: devices are off: start the server with -o file-devices=yes to print into "
             "files.");
    return false;
  }
  if (driver_name == nullptr || strcmp(driver_name, kDriverName) != 0) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unknown driver '%s'.",
             driver_name != nullptr ? driver_name : "(null)");
    return false;
  }

  snprintf(data->make_and_model, sizeof data->make_and_model, "%s", kDriverDescription);
  data->format = kSpooledRasterType;
  data->rstartjob_cb = StartVorneJob;
  data->rstartpage_cb = StartVornePage;
  data->rwriteline_cb = WriteVorneLine;
  data->rendpage_cb = EndVornePage;
  data->rendjob_cb = EndVorneJob;
  data->status_cb = UpdateVorneStatus;
  data->testpage_cb = MakeVorneTestPage;
  for (size_t i = 0; app != nullptr && i < 3; i++) {
    if (!app->icons[i].empty()) {
      data->icons[i].data = app->icons[i].data();
      data->icons[i].datalen = app->icons[i].size();
    }
  }

  // A page takes one to five minutes on the serial line.
  data->ppm = 1;
  data->kind = PAPPL_KIND_DOCUMENT;
  data->color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME;
  data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
  data->content_default = PAPPL_CONTENT_AUTO;
  data->quality_default = IPP_QUALITY_NORMAL;
  data->scaling_default = PAPPL_SCALING_AUTO;
  data->orient_default = IPP_ORIENT_PORTRAIT;
  data->sides_supported = PAPPL_SIDES_ONE_SIDED;
  data->sides_default = PAPPL_SIDES_ONE_SIDED;
  data->duplex = PAPPL_DUPLEX_NONE;

  // 8-bit grey only: PAPPL's own 1-bit dither writes past its line buffer when a client's
  // raster is wider than the page, and the engine halftones as the filter does.
  data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
  data->force_raster_type = PAPPL_PWG_RASTER_TYPE_NONE;

  data->num_resolution = 2;
  data->x_resolution[0] = data->y_resolution[0] = kLowResolution;
  data->x_resolution[1] = data->y_resolution[1] = kHighResolution;
  data->x_default = data->y_default = kLowResolution;

  data->num_media = 0;
  for (size_t i = 0; i < kPaperSizeCount; i++) {
    data->media[data->num_media++] = kPaperSizes[i].pwgName;
  }
  data->media[data->num_media++] = kCustomMinName;
  data->media[data->num_media++] = kCustomMaxName;
  data->left_right = HundredthsMm(kPaperSizes[0].left);
  data->bottom_top = HundredthsMm(kPaperSizes[0].bottom);
  data->borderless = false;

  data->num_type = 1;
  data->type[0] = kMediaType;
  data->num_source = 1;
  data->source[0] = kSource;
  data->media_default = MediaFor(DefaultPaperSize(), *data);
  data->media_ready[0] = data->media_default;
  data->left_offset_supported[0] = 0;
  data->left_offset_supported[1] = kMaxOffsetHundredthsMm;
  data->top_offset_supported[0] = 0;
  data->top_offset_supported[1] = kMaxOffsetHundredthsMm;

  if (!AddVendorAttributes(data, device_uri, attrs)) {
    return false;
  }
  AddPrinterFacts(*attrs);
  return true;
}
