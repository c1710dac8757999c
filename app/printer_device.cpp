//
// A printer's device URI: the check that refuses, with the reason, a URI a printer could not
// print to before the printer is added or moved to it, and the move of an existing printer to
// another device.
//

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "printer_app.h"
#include "serial_device.h"

//
// 'CheckDeviceUri()' - Whether a printer may be added on, or moved to, the device URI.
//

bool CheckDeviceUri(const char *uri, std::string &error) {
  if (uri == nullptr || uri[0] == '\0') {
    error = "No device URI.";
    return false;
  }
  if (strncasecmp(uri, "serial:", 7) != 0) {
    return true;
  }
  char message[1536];
  if (!CheckSerialDeviceUri(uri, message, sizeof(message))) {
    error = std::string("Bad serial device URI: ") + message + ".";
    return false;
  }
  return true;
}

namespace {

// What a printer keeps that PAPPL does not take when it is made: read from the printer before
// it is deleted, and set on the one made in its place.
struct PrinterSettings {
  int id = 0;
  std::string name, driver, deviceId, deviceUri;
  bool hasDeviceId = false;
  pappl_pr_driver_data_t data;
  int numVendor = 0;
  cups_option_t *vendor = nullptr;
  std::string location, geoLocation, organization, orgUnit, dnssdName, printGroup;
  pappl_contact_t contact;
  int maxActive = 0, maxCompleted = 0, maxPreserved = 0, nextJobId = 0;
  bool accepting = true, stopped = false, holding = false, isDefault = false;

  PrinterSettings() = default;
  PrinterSettings(const PrinterSettings &) = delete;
  PrinterSettings &operator=(const PrinterSettings &) = delete;
  ~PrinterSettings() {
    cupsFreeOptions(numVendor, vendor);
  }
};

// A string the printer fills into a buffer, or empty.
template <typename Getter>
std::string Text(pappl_printer_t *printer, Getter get) {
  char buffer[1024];
  const char *value = get(printer, buffer, sizeof buffer);
  return value != nullptr ? value : "";
}

}  // namespace

//
// 'ReadSettings()' - Take what the printer keeps into settings.
//

static void ReadSettings(pappl_printer_t *printer, PrinterSettings &settings) {
  pappl_system_t *system = papplPrinterGetSystem(printer);
  settings.id = papplPrinterGetID(printer);
  settings.name = papplPrinterGetName(printer);
  settings.driver = papplPrinterGetDriverName(printer);
  settings.deviceUri = papplPrinterGetDeviceURI(printer);
  if (const char *device_id = papplPrinterGetDeviceID(printer)) {
    settings.deviceId = device_id;
    settings.hasDeviceId = true;
  }
  papplPrinterGetDriverData(printer, &settings.data);

  // The vendor attributes' defaults, as the driver attributes hold them.
  ipp_t *attrs = papplPrinterGetDriverAttributes(printer);
  for (int i = 0; i < settings.data.num_vendor; i++) {
    char name[128], value[1024];
    snprintf(name, sizeof name, "%s-default", settings.data.vendor[i]);
    ipp_attribute_t *attr = ippFindAttribute(attrs, name, IPP_TAG_ZERO);
    if (attr != nullptr) {
      ippAttributeString(attr, value, sizeof value);
      settings.numVendor =
          cupsAddOption(settings.data.vendor[i], value, settings.numVendor, &settings.vendor);
    }
  }
  ippDelete(attrs);

  settings.location = Text(printer, papplPrinterGetLocation);
  settings.geoLocation = Text(printer, papplPrinterGetGeoLocation);
  settings.organization = Text(printer, papplPrinterGetOrganization);
  settings.orgUnit = Text(printer, papplPrinterGetOrganizationalUnit);
  settings.dnssdName = Text(printer, papplPrinterGetDNSSDName);
  settings.printGroup = Text(printer, papplPrinterGetPrintGroup);
  papplPrinterGetContact(printer, &settings.contact);
  settings.maxActive = papplPrinterGetMaxActiveJobs(printer);
  settings.maxCompleted = papplPrinterGetMaxCompletedJobs(printer);
  settings.maxPreserved = papplPrinterGetMaxPreservedJobs(printer);
  settings.nextJobId = papplPrinterGetNextJobID(printer);
  settings.accepting = papplPrinterIsAcceptingJobs(printer);
  settings.stopped = papplPrinterGetState(printer) == IPP_PSTATE_STOPPED;
  settings.holding = papplPrinterIsHoldingNewJobs(printer);
  settings.isDefault = papplSystemGetDefaultPrinterID(system) == settings.id;
}

//
// 'ApplySettings()' - Set what the printer kept on the printer made in its place.
//

static void ApplySettings(pappl_printer_t *printer, PrinterSettings &settings) {
  papplPrinterSetDriverDefaults(printer, &settings.data, settings.numVendor, settings.vendor);
  papplPrinterSetReadyMedia(printer, settings.data.num_source, settings.data.media_ready);
  papplPrinterSetLocation(printer, settings.location.c_str());
  papplPrinterSetGeoLocation(printer,
                             settings.geoLocation.empty() ? nullptr : settings.geoLocation.c_str());
  papplPrinterSetOrganization(printer, settings.organization.c_str());
  papplPrinterSetOrganizationalUnit(printer, settings.orgUnit.c_str());
  papplPrinterSetContact(printer, &settings.contact);
  if (!settings.printGroup.empty()) {
    papplPrinterSetPrintGroup(printer, settings.printGroup.c_str());
  }
  papplPrinterSetMaxActiveJobs(printer, settings.maxActive);
  papplPrinterSetMaxCompletedJobs(printer, settings.maxCompleted);
  papplPrinterSetMaxPreservedJobs(printer, settings.maxPreserved);
  papplPrinterSetNextJobID(printer, settings.nextJobId);
  // The DNS-SD name advertises the printer again.
  papplPrinterSetDNSSDName(
      printer, settings.dnssdName.empty() ? settings.name.c_str() : settings.dnssdName.c_str());
  if (!settings.accepting) {
    papplPrinterDisable(printer);
  }
  if (settings.holding) {
    papplPrinterHoldNewJobs(printer);
  }
  if (settings.stopped) {
    papplPrinterPause(printer);
  }
  if (settings.isDefault) {
    papplSystemSetDefaultPrinterID(papplPrinterGetSystem(printer), settings.id);
  }
}

//
// 'MovePrinterToDevice()' - Make the printer print to the device URI: the printer is made
// again, with the same id, name and settings, on the new device.
//

pappl_printer_t *MovePrinterToDevice(pappl_printer_t *printer, const char *uri,
                                     std::string &error) {
  if (strcmp(papplPrinterGetDeviceURI(printer), uri) == 0) {
    return printer;
  }
  // No job is taken between the count and the delete.
  PrinterSettings settings;
  ReadSettings(printer, settings);
  papplPrinterDisable(printer);
  int active = papplPrinterGetNumberOfActiveJobs(printer);
  if (active > 0) {
    if (settings.accepting) {
      papplPrinterEnable(printer);
    }
    error = "The printer has " + std::to_string(active) + (active == 1 ? " job" : " jobs") +
            " queued or printing: change its device once they are done or canceled.";
    return nullptr;
  }
  pappl_system_t *system = papplPrinterGetSystem(printer);
  papplPrinterDelete(printer);

  const char *device_id = settings.hasDeviceId ? settings.deviceId.c_str() : nullptr;
  pappl_printer_t *moved = papplPrinterCreate(system, settings.id, settings.name.c_str(),
                                              settings.driver.c_str(), device_id, uri);
  if (moved == nullptr) {
    error = std::string("The printer could not be made on that device (") + strerror(errno) +
            "; see the log): it stays on " + settings.deviceUri + ".";
    moved = papplPrinterCreate(system, settings.id, settings.name.c_str(), settings.driver.c_str(),
                               device_id, settings.deviceUri.c_str());
    if (moved == nullptr) {
      papplLog(system, PAPPL_LOGLEVEL_ERROR,
               "Printer '%s' could not be made again on '%s' after a move failed.",
               settings.name.c_str(), settings.deviceUri.c_str());
      error =
          "The printer could not be made on that device, nor again on its old one: add it "
          "again.";
      return nullptr;
    }
    ApplySettings(moved, settings);
    return nullptr;
  }
  ApplySettings(moved, settings);
  papplLogPrinter(moved, PAPPL_LOGLEVEL_INFO, "Device changed from '%s' to '%s'.",
                  settings.deviceUri.c_str(), uri);
  return moved;
}
