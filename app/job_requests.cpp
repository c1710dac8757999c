//
// Job requests as PAPPL has validated them, adjusted for a printer on a slow serial line.
//
// PAPPL 1.3.1 prints a PWG or Apple raster document while the client is still sending it, and
// answers server-error-busy, after reading the whole document, when the printer is already
// printing: a job sent while a page takes minutes on the line would be refused. Such
// documents are marked as spooled raster instead (application/vnd.cups-raster, which libcups
// reads like the others): PAPPL then stores them like a PDF and queues the job, and our raster
// filter prints them from the file.
//
// PAPPL also picks the resolution of the documents the application renders itself from
// print-quality, but takes the middle one of the two, 360 dpi, for "normal". A job without
// printer-resolution gets the one of its print-quality instead (print_settings.h: 180 dpi for
// draft and normal, 360 for high), so that print-quality alone, the one setting every
// driverless client sends, reaches every mode of the printer.
//

#include <cstring>
#include <memory>
#include <new>

#include "print_settings.h"
#include "printer_app.h"

// The first bytes of a raster stream in each byte order: CUPS raster versions 1 to 3 (PWG
// raster begins like version 2).
static const char *const kRasterSyncWords[] = {"RaSt", "tSaR", "RaS2", "2SaR", "RaS3", "3SaR"};

//
// 'DetectDocumentType()' - The MIME callback: CUPS raster, which PAPPL does not recognise.
//
// PAPPL types PDF, JPEG, PNG, PWG and Apple raster itself and asks this for anything else.
//

const char *DetectDocumentType(const unsigned char *header, size_t headersize, void *data) {
  (void)data;
  for (const char *sync : kRasterSyncWords) {
    if (headersize >= 4 && memcmp(header, sync, 4) == 0) {
      return kSpooledRasterType;
    }
  }
  return nullptr;
}

//
// 'SpoolRaster()' - Mark a PWG or Apple raster document as spooled raster.
//
// PAPPL takes a job's format from document-format-detected (its own typing of an
// application/octet-stream document), else from document-format.
//

static void SpoolRaster(ipp_t *request) {
  ipp_attribute_t *detected = ippFindAttribute(request, "document-format-detected", IPP_TAG_ZERO);
  ipp_attribute_t *format = detected != nullptr
                                ? detected
                                : ippFindAttribute(request, "document-format", IPP_TAG_MIMETYPE);
  const char *value = ippGetString(format, 0, nullptr);
  if (value == nullptr ||
      (strcmp(value, "image/pwg-raster") != 0 && strcmp(value, "image/urf") != 0)) {
    return;
  }
  if (detected != nullptr) {
    ippSetString(request, &detected, 0, kSpooledRasterType);
  } else {
    ippAddString(request, IPP_TAG_JOB, IPP_TAG_MIMETYPE, "document-format-detected", nullptr,
                 kSpooledRasterType);
  }
}

//
// 'AddQualityResolution()' - Give a job without printer-resolution the resolution of its
//                            print-quality, or of the printer's defaults.
//
// PAPPL has checked the job's print-quality against print-quality-supported.
//

static void AddQualityResolution(pappl_printer_t *printer, ipp_t *request) {
  if (ippFindAttribute(request, "printer-resolution", IPP_TAG_ZERO) != nullptr) {
    return;
  }
  std::unique_ptr<pappl_pr_driver_data_t> data(new (std::nothrow) pappl_pr_driver_data_t);
  if (!data || papplPrinterGetDriverData(printer, data.get()) == nullptr) {
    return;
  }
  ipp_attribute_t *quality = ippFindAttribute(request, "print-quality", IPP_TAG_ENUM);
  int dpi = RenderResolution(quality != nullptr ? ippGetInteger(quality, 0) : kQualityNone,
                             data->quality_default, data->x_default);
  ippAddResolution(request, IPP_TAG_JOB, "printer-resolution", IPP_RES_PER_INCH, dpi, dpi);
}

//
// 'AdjustJobRequest()' - Adjust a validated Print-Job, Create-Job or Send-Document request.
//

void AdjustJobRequest(pappl_client_t *client) {
  pappl_printer_t *printer = papplClientGetPrinter(client);
  ipp_t *request = papplClientGetRequest(client);
  if (printer == nullptr || request == nullptr) {
    return;
  }
  ipp_op_t op = ippGetOperation(request);
  if (op == IPP_OP_PRINT_JOB || op == IPP_OP_CREATE_JOB) {
    AddQualityResolution(printer, request);
  }
  if (op == IPP_OP_PRINT_JOB || op == IPP_OP_CREATE_JOB || op == IPP_OP_SEND_DOCUMENT) {
    SpoolRaster(request);
  }
}
