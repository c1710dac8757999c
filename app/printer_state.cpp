//
// What the printer shows of itself: the driver's status callback (is the serial port there?),
// the line report and each job's outcome on the web page (through the hooks in
// pappl_hooks.cpp), the driver's test page and the printer's icons.
//

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "pappl_guards.h"
#include "print_settings.h"
#include "printer_app.h"
#include "serial_device.h"
#include "test_page.h"

// The icons' sides in pixels, in the order of the driver data's icons: small, medium, large.
static const unsigned kIconSizes[3] = {48, 128, 512};

//
// 'UpdateVorneStatus()' - The driver's status callback: note whether the printer's serial
//                         port is there.
//
// PAPPL calls it when a client asks for the printer's state (Get-Printer-Attributes, the web
// page) and no job uses the device, at most every two seconds. The port is looked up in the
// file system, never opened: the printer is not disturbed, and a job that starts meanwhile
// finds the port as it was. While a job holds the printer's gate, its writes report the line
// and nothing is looked at here.
//

bool UpdateVorneStatus(pappl_printer_t *printer) {
  if (PrinterGateHeld(printer)) {
    return true;
  }
  char uri[1024], message[1536];
  const char *deviceUri = papplPrinterGetDeviceURI(printer);
  snprintf(uri, sizeof uri, "%s", deviceUri != nullptr ? deviceUri : "");
  bool there = strncmp(uri, "serial:", 7) != 0 || SerialPortThere(uri, message, sizeof message);
  if (SetPortMissing(printer, there ? nullptr : message)) {
    if (there) {
      papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "The printer's port is there again.");
    } else {
      papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN, "%s", message);
    }
  }
  return true;
}

//
// 'ShowLineReport()' - Below the printer's state on the web page: what is wrong with its line.
//

void ShowLineReport(pappl_client_t *client, pappl_printer_t *printer) {
  std::string message;
  try {
    if (!LineReport(printer, message)) {
      return;
    }
  } catch (const std::bad_alloc &) {
    return;
  }
  papplClientHTMLPuts(client, "          <div class=\"banner\">");
  papplClientHTMLEscape(client, message.c_str(), 0);
  papplClientHTMLPuts(client, "</div>\n");
}

//
// 'ShowJobOutcome()' - Below a job's row in the web page's job table: its message (how it
//                      ended, or why it did not print), when it has one.
//
// The application sets a job's message once and never replaces it (pappl_guards.h), so it
// may be read without the job's lock.
//

void ShowJobOutcome(pappl_client_t *client, pappl_job_t *job) {
  const char *message = papplJobGetMessage(job);
  if (message == nullptr || message[0] == '\0') {
    return;
  }
  papplClientHTMLPuts(client,
                      "              <tr class=\"job-message\"><td></td><td colspan=\"5\">");
  papplClientHTMLEscape(client, message, 0);
  papplClientHTMLPuts(client, "</td></tr>\n");
}

//
// 'FactsOf()' - The printer's settings the test page prints: its default resolution, its
//               margins and page end, and the calibration of its loaded paper.
//

static TestPageFacts FactsOf(pappl_printer_t *printer) {
  TestPageFacts facts{kLowResolution, kLowResolution, 0, 0, 0, 0, false};
  std::unique_ptr<pappl_pr_driver_data_t> data(new (std::nothrow) pappl_pr_driver_data_t);
  if (data && papplPrinterGetDriverData(printer, data.get()) != nullptr) {
    facts.xResolution = data->x_default;
    facts.yResolution = data->y_default;
    facts.leftOffset = data->media_ready[0].left_offset;
    facts.topOffset = data->media_ready[0].top_offset;
  }
  ipp_t *defaults = papplPrinterGetDriverAttributes(printer);
  char name[128];
  snprintf(name, sizeof name, "%s-default", kTopMarginAttr);
  facts.topMarginMm = ippGetInteger(ippFindAttribute(defaults, name, IPP_TAG_INTEGER), 0);
  snprintf(name, sizeof name, "%s-default", kLeftMarginAttr);
  facts.leftMarginMm = ippGetInteger(ippFindAttribute(defaults, name, IPP_TAG_INTEGER), 0);
  snprintf(name, sizeof name, "%s-default", kPageEndAttr);
  const char *pageEnd = ippGetString(ippFindAttribute(defaults, name, IPP_TAG_KEYWORD), 0, nullptr);
  facts.feedPageLength = pageEnd != nullptr && strcmp(pageEnd, "feed") == 0;
  ippDelete(defaults);
  return facts;
}

//
// 'MakeVorneTestPage()' - The driver's test page callback: the test page written as a PWG
//                         raster into a new file of the server's temporary folder; its name
//                         in buffer, or a name no file can have when it could not be written
//                         (logged).
//
// PAPPL prints the file as a job named "Test Page" through the same filter and device as any
// raster job, and removes it with the job. It offers the page on the printer's web page only,
// whose forms are for administrators (papplClientIsValidForm in pappl_hooks.cpp).
//
// PAPPL 1.3.1 answers "Test page printed." when the callback returns null (a printer that
// prints its own self-test); for a name it cannot read it answers "Unable to access test print
// file." and makes no job. No one can make a file in /proc/self, so that name is never read.
//

static const char kUnwrittenTestPage[] = "/proc/self/quillmarsh-test-page-not-written";

const char *MakeVorneTestPage(pappl_printer_t *printer, char *buffer, size_t bufsize) {
  int fd = papplCreateTempFile(buffer, bufsize, "test-page", "pwg");
  if (fd < 0) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Unable to make a file for the test page: %s",
                    strerror(errno));
    return kUnwrittenTestPage;
  }
  bool written = WriteTestPage(fd, FactsOf(printer));
  if (close(fd) != 0 || !written) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Unable to write the test page to '%s'.",
                    buffer);
    unlink(buffer);
    return kUnwrittenTestPage;
  }
  papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Test page written to '%s'.", buffer);
  return buffer;
}

//
// 'MakeIcons()' - Draw the printer's icons into app; false when one could not be made.
//

bool MakeIcons(AppContext &app) {
  for (size_t i = 0; i < 3; i++) {
    if (!MakeIconPng(kIconSizes[i], app.icons[i])) {
      for (std::vector<unsigned char> &icon : app.icons) {
        icon.clear();
      }
      return false;
    }
  }
  return true;
}
