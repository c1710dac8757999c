//
// The quillmarsh printer application: the Vorne 24-pin printer offered as an IPP Everywhere
// printer, on PAPPL. This header names what the application's files share: the system set-up,
// the driver, the raster callbacks, the document filters and the checks of incoming requests.
//

#ifndef QUILLMARSH_APP_PRINTER_APP_H
#define QUILLMARSH_APP_PRINTER_APP_H

#include <string>
#include <vector>

#include <pappl/pappl.h>

// The one driver, its name and its make and model.
constexpr const char *kDriverName = "vorne24";
constexpr const char *kDriverDescription = "Vorne 24-Pin Dot Matrix";

// What the application keeps for its whole run: its driver list and where the server saves
// its printers. One record, made by main() and handed to PAPPL's callbacks as their data.
struct AppContext {
  pappl_pr_driver_t drivers[1] = {{kDriverName, kDriverDescription, nullptr, nullptr}};
  std::string stateFile;     // printers and their defaults, saved on every change
  std::string spoolDir;      // documents of queued jobs
  bool fileDevices = false;  // file: device URIs allowed (-o file-devices=yes)
  // Serial ports the web pages offer besides those the device list finds (-o serial-ports=)
  std::vector<std::string> serialPorts;
  // Why a hook into PAPPL is not reached; empty once main() found all of them reached.
  std::string hookError = "The PAPPL hooks were not checked.";
  // The printers' icons as PNG files (small, medium, large; see printer_state.cpp), drawn
  // once; empty when they could not be made, and PAPPL's own are shown.
  std::vector<unsigned char> icons[3];
};

// The vendor attributes: the PPD's TopMargin and LeftMargin (millimetres), the filter's
// nopdfAutoRotate (turn A5 portrait pages across the carriage) and the PPD's PageEnd.
constexpr const char *kTopMarginAttr = "vorne-top-margin";
constexpr const char *kLeftMarginAttr = "vorne-left-margin";
constexpr const char *kTurnPagesAttr = "vorne-turn-pages";
// How a page ends (the PPD's PageEnd): "form-feed" (the printer's form length) or "feed" (the
// page's own length).
constexpr const char *kPageEndAttr = "vorne-page-end";

// The MIME type under which raster documents (PWG, Apple and CUPS raster, all read by libcups)
// are spooled and printed once the client has sent them.
constexpr const char *kSpooledRasterType = "application/vnd.cups-raster";

// system_setup.cpp: the system callback of papplMainloop (data is the AppContext).
pappl_system_t *SetUpSystem(int num_options, cups_option_t *options, void *data);

// vorne_driver.cpp: what the printer offers (resolutions, media, vendor attributes) and its
// callbacks; cbdata is the AppContext, whose fileDevices decides whether a file: device may
// be used.
bool SetUpVorneDriver(pappl_system_t *system, const char *driver_name, const char *device_uri,
                      const char *device_id, pappl_pr_driver_data_t *data, ipp_t **attrs,
                      void *cbdata);

// printer_device.cpp: the check of a device URI before a printer is added on it or moved to
// it (a serial: URI must parse and name a serial port the server can open; other schemes are
// left to PAPPL and the driver), false with the reason, a sentence, in error; and the move of
// an existing printer to another device: PAPPL 1.3.1 cannot change a printer's device, so the
// printer is deleted and made again with the same id, name and settings. The move is refused
// while the printer has jobs queued or printing. Returns the printer on the new device, or
// null with the reason in error (the printer then stays on, or is made again on, its old one).
bool CheckDeviceUri(const char *uri, std::string &error);
pappl_printer_t *MovePrinterToDevice(pappl_printer_t *printer, const char *uri, std::string &error);

// serial_web.cpp: the Add Printer page with the serial line's settings (in place of PAPPL's),
// and the printer creation callback that gives each serial printer its Serial Line page (data
// is the AppContext).
void AddSerialWebPages(pappl_system_t *system, AppContext *app);
void AddPrinterPages(pappl_printer_t *printer, void *data);

// raster_callbacks.cpp: the driver's raster callbacks, which push rows into the band engine.
bool StartVorneJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
bool StartVornePage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                    unsigned page);
bool WriteVorneLine(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                    unsigned y, const unsigned char *line);
bool EndVornePage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                  unsigned page);
bool EndVorneJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);

// document_filters.cpp: spooled raster documents and PDF (rendered by Ghostscript), printed
// through the raster callbacks above; and how every filter gives up a job (the message in the
// log and as the job's state message, the reason in its state reasons).
bool PrintRasterDocument(pappl_job_t *job, pappl_device_t *device, void *data);
bool PrintPdfDocument(pappl_job_t *job, pappl_device_t *device, void *data);
void ReportJobFailure(pappl_job_t *job, pappl_jreason_t reason, const char *message);
// A one-shot timer callback: Ghostscript is stopped at once when the server gets SIGTERM or
// SIGINT too, not only a Shutdown request.
bool WatchForStopSignal(pappl_system_t *system, void *data);

// image_documents.cpp: PNG and JPEG images, decoded with bounds and printed through the raster
// callbacks.
bool PrintPngDocument(pappl_job_t *job, pappl_device_t *device, void *data);
bool PrintJpegDocument(pappl_job_t *job, pappl_device_t *device, void *data);

// job_requests.cpp: adjustments of validated Print-Job, Create-Job and Send-Document requests
// (called from pappl_hooks.cpp), and the document type of raster streams PAPPL does not
// recognise.
void AdjustJobRequest(pappl_client_t *client);
const char *DetectDocumentType(const unsigned char *header, size_t headersize, void *data);

// printer_state.cpp: the driver's status callback (whether the serial port is there) and test
// page callback; what the web page shows below the printer's state and below each job (called
// from the hooks in pappl_hooks.cpp); the icons, drawn into the AppContext.
bool UpdateVorneStatus(pappl_printer_t *printer);
const char *MakeVorneTestPage(pappl_printer_t *printer, char *buffer, size_t bufsize);
void ShowLineReport(pappl_client_t *client, pappl_printer_t *printer);
void ShowJobOutcome(pappl_client_t *client, pappl_job_t *job);
bool MakeIcons(AppContext &app);

// pappl_hooks.cpp (in the executable): whether every hook into PAPPL is reached; false with a
// message naming the first that is not.
bool CheckPapplHooks(std::string &error);

#endif  // QUILLMARSH_APP_PRINTER_APP_H
