//
// The web pages that set up a printer's serial line: Add Printer (in place of PAPPL's, which
// offers each port at 9600 baud only) and a serial printer's Serial Line page. Both are an
// administrator's: PAPPL's login and form check (hooked in pappl_hooks.cpp) guard them. Every
// posted value is checked against what the page offers, and the URI it makes is checked as
// Create-Printer checks one, before anything is changed.
//

#include <strings.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "access_policy.h"
#include "printer_app.h"
#include "serial_device.h"

namespace {

// One choice of a select: the value posted and the label shown.
using Choice = std::pair<std::string, std::string>;

// What the line fields hold: the posted values, or a printer's line.
struct LineFields {
  std::string port, baud = "9600", bits = "8", parity = "none", stop = "1", flow = "none";
};

// The form's fields besides the port, with their labels and choices.
struct LineField {
  const char *name;
  const char *label;
  std::string LineFields::*value;
};

const LineField kLineFields[] = {
    {"baud", "Speed (baud)", &LineFields::baud}, {"bits", "Data bits", &LineFields::bits},
    {"parity", "Parity", &LineFields::parity},   {"stop", "Stop bits", &LineFields::stop},
    {"flow", "Flow control", &LineFields::flow},
};

// A printer found by the path of its Serial Line page.
struct PageSearch {
  const char *uri;
  pappl_printer_t *printer;
};

}  // namespace

// The longest value of a line field the form takes.
constexpr size_t kMaxValueLength = 16;

// The path of a printer's Serial Line page, below the printer's own.
constexpr const char *kSerialPage = "serial";

//
// 'ChoicesOf()' - The choices of a line field.
//

static std::vector<Choice> ChoicesOf(const std::string &field) {
  if (field == "baud") {
    std::vector<Choice> speeds;
    for (int baud : SerialSpeeds()) {
      speeds.push_back({std::to_string(baud), std::to_string(baud)});
    }
    return speeds;
  }
  if (field == "bits") {
    return {{"8", "8"}, {"7", "7"}};
  }
  if (field == "parity") {
    return {{"none", "None"}, {"even", "Even"}, {"odd", "Odd"}};
  }
  if (field == "stop") {
    return {{"1", "1"}, {"2", "2"}};
  }
  return {{"none", "None"},
          {"soft", "XON/XOFF (software)"},
          {"hard", "RTS/CTS (hardware)"},
          {"dtrdsr", "DTR/DSR"}};
}

//
// 'OfferedPorts()' - The ports a form offers: those the device list finds, those the server
// was told of (-o serial-ports=...), and the printer's own port when it has one.
//

static std::vector<SerialPortName> OfferedPorts(const AppContext &app, const std::string &own) {
  std::vector<SerialPortName> ports = ListSerialPorts();
  std::vector<std::string> more = app.serialPorts;
  if (!own.empty()) {
    more.push_back(own);
  }
  for (const std::string &path : more) {
    bool listed = false;
    for (const SerialPortName &port : ports) {
      listed = listed || port.path == path;
    }
    if (!listed) {
      ports.push_back(SerialPortName{path, path});
    }
  }
  return ports;
}

//
// 'FieldsOfUri()' - The line fields of a serial: URI; the defaults when it is not one.
//

static LineFields FieldsOfUri(const char *uri) {
  LineFields fields;
  SerialLine line;
  char message[1536];
  if (uri == nullptr || !ParseSerialUri(uri, &line, message, sizeof message)) {
    return fields;
  }
  std::string canonical = SerialUriOf(line);
  fields.port = line.path;
  // SerialUriOf names every option: read the values back from it.
  for (const LineField &field : kLineFields) {
    std::string key = std::string(field.name) + "=";
    size_t at = canonical.find(key, canonical.find('?'));
    size_t end = canonical.find('+', at);
    fields.*field.value = canonical.substr(at + key.size(), end - at - key.size());
  }
  return fields;
}

//
// 'UriOfForm()' - Read the line fields of a posted form and make their serial: URI. Returns
// false with the reason in error for a port the page does not offer, a value that is not a
// word of letters and digits, or a URI Create-Printer would refuse (a value outside its list).
//

static bool UriOfForm(const std::vector<SerialPortName> &ports, int num_form, cups_option_t *form,
                      LineFields &fields, std::string &uri, std::string &error) {
  const char *port = cupsGetOption("port", num_form, form);
  bool offered = false;
  for (const SerialPortName &entry : ports) {
    offered = offered || (port != nullptr && entry.path == port);
  }
  if (!offered) {
    error = "Choose one of the serial ports the page offers.";
    return false;
  }
  fields.port = port;
  std::string options;
  for (const LineField &field : kLineFields) {
    // A word of letters and digits goes into the URI as it is, and the URI's parser checks it
    // against its lists, with the reason Create-Printer gives; anything else is refused here.
    const char *value = cupsGetOption(field.name, num_form, form);
    size_t length = value != nullptr ? strlen(value) : 0;
    if (length == 0 || length > kMaxValueLength ||
        strspn(value, "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") != length) {
      error = std::string("Choose one of the page's values for ") + field.label + ".";
      return false;
    }
    fields.*field.value = value;
    options += (options.empty() ? "?" : "+") + std::string(field.name) + "=" + value;
  }

  // The path comes from the list; SerialUriOf encodes it for the URI.
  SerialLine line{};
  snprintf(line.path, sizeof line.path, "%s", port);
  std::string path = SerialUriOf(line);
  uri = path.substr(0, path.find('?')) + options;
  return CheckDeviceUri(uri.c_str(), error);
}

//
// 'PutSelect()' - One row of a form: a label and a select of the choices, chosen marked.
//

static void PutSelect(pappl_client_t *client, const char *name, const char *label,
                      const std::vector<Choice> &choices, const std::string &chosen) {
  papplClientHTMLPrintf(client,
                        "              <tr><th><label for=\"%s\">%s:</label></th><td><select "
                        "name=\"%s\" id=\"%s\">",
                        name, label, name, name);
  for (const Choice &choice : choices) {
    papplClientHTMLPuts(client, "<option value=\"");
    papplClientHTMLEscape(client, choice.first.c_str(), 0);
    papplClientHTMLPuts(client, choice.first == chosen ? "\" selected>" : "\">");
    papplClientHTMLEscape(client, choice.second.c_str(), 0);
    papplClientHTMLPuts(client, "</option>");
  }
  papplClientHTMLPuts(client, "</select></td></tr>\n");
}

//
// 'PutLineRows()' - The port and line rows of a form.
//

static void PutLineRows(pappl_client_t *client, const std::vector<SerialPortName> &ports,
                        const LineFields &fields) {
  std::vector<Choice> port_choices;
  for (const SerialPortName &port : ports) {
    port_choices.push_back(
        {port.path, port.info == port.path ? port.path : port.info + " (" + port.path + ")"});
  }
  if (port_choices.empty()) {
    papplClientHTMLPuts(
        client, "              <tr><th>Port:</th><td>No serial port was found.</td></tr>\n");
  } else {
    PutSelect(client, "port", "Port", port_choices, fields.port);
  }
  for (const LineField &field : kLineFields) {
    PutSelect(client, field.name, field.label, ChoicesOf(field.name), fields.*field.value);
  }
}

//
// 'PutBanner()' - The page's message, escaped.
//

static void PutBanner(pappl_client_t *client, const std::string &status) {
  if (!status.empty()) {
    papplClientHTMLPuts(client, "          <div class=\"banner\">");
    papplClientHTMLEscape(client, status.c_str(), 0);
    papplClientHTMLPuts(client, "</div>\n");
  }
}

//
// 'ReadForm()' - The posted form, checked as PAPPL's pages check theirs (the session token,
// and through the hook an administrator); the number of fields, 0 with status set when the
// form is refused.
//

static int ReadForm(pappl_client_t *client, cups_option_t **form, std::string &status) {
  *form = nullptr;
  int num_form = papplClientGetForm(client, form);
  if (num_form == 0) {
    status = "Invalid form data.";
  } else if (!papplClientIsValidForm(client, num_form, *form)) {
    status = "Invalid form submission.";
    cupsFreeOptions(num_form, *form);
    *form = nullptr;
    num_form = 0;
  }
  return num_form;
}

//
// 'ShowAddPrinterPage()' - The Add Printer page: a name, a serial port and its line.
//

static bool ShowAddPrinterPage(pappl_client_t *client, void *data) {
  const auto *app = static_cast<const AppContext *>(data);
  if (!papplClientHTMLAuthorize(client)) {
    return true;
  }
  pappl_system_t *system = papplClientGetSystem(client);
  std::vector<SerialPortName> ports = OfferedPorts(*app, "");
  LineFields fields;
  std::string name, status;

  if (papplClientGetMethod(client) == HTTP_STATE_POST) {
    cups_option_t *form = nullptr;
    int num_form = ReadForm(client, &form, status);
    std::string uri;
    if (num_form > 0) {
      const char *value = cupsGetOption("printer_name", num_form, form);
      name = value != nullptr ? value : "";
      if (CheckPrinterName(name.c_str(), status) &&
          UriOfForm(ports, num_form, form, fields, uri, status)) {
        pappl_printer_t *printer =
            papplPrinterCreate(system, 0, name.c_str(), kDriverName, nullptr, uri.c_str());
        if (printer != nullptr) {
          papplPrinterSetDNSSDName(printer, name.c_str());  // advertises it
          char path[1024];
          papplPrinterGetPath(printer, nullptr, path, sizeof path);
          cupsFreeOptions(num_form, form);
          return papplClientRespondRedirect(client, HTTP_STATUS_FOUND, path);
        }
        status = errno == EEXIST ? "A printer with that name already exists."
                                 : std::string("The printer could not be added (") +
                                       strerror(errno) + "; see the log).";
      }
    }
    cupsFreeOptions(num_form, form);
  }

  if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "text/html", 0, 0)) {
    return false;
  }
  papplClientHTMLHeader(client, "Add Printer", 0);
  papplClientHTMLPuts(client,
                      "    <div class=\"content\">\n"
                      "      <div class=\"row\">\n"
                      "        <div class=\"col-12\">\n"
                      "          <h1 class=\"title\">Add Printer</h1>\n");
  PutBanner(client, status);
  papplClientHTMLStartForm(client, papplClientGetURI(client), false);
  papplClientHTMLPuts(client,
                      "          <table class=\"form\">\n"
                      "            <tbody>\n"
                      "              <tr><th><label for=\"printer_name\">Name:</label></th><td>"
                      "<input type=\"text\" name=\"printer_name\" id=\"printer_name\" "
                      "placeholder=\"Name of printer\" value=\"");
  papplClientHTMLEscape(client, name.c_str(), 0);
  papplClientHTMLPuts(client, "\" required></td></tr>\n");
  PutLineRows(client, ports, fields);
  papplClientHTMLPrintf(client,
                        "              <tr><th>Driver:</th><td>%s</td></tr>\n"
                        "              <tr><th></th><td><input type=\"submit\" value=\"Add "
                        "Printer\"></td></tr>\n"
                        "            </tbody>\n"
                        "          </table>\n"
                        "          </form>\n"
                        "          <p>Other devices: <code>quillmarsh add -v URI</code>.</p>\n"
                        "        </div>\n"
                        "      </div>\n"
                        "    </div>\n",
                        kDriverDescription);
  papplClientHTMLFooter(client);
  return true;
}

//
// 'FindPageOwner()' - Iteration callback: the printer whose Serial Line page is search->uri.
//

static void FindPageOwner(pappl_printer_t *printer, void *data) {
  auto *search = static_cast<PageSearch *>(data);
  char path[1024];
  if (search->printer == nullptr && papplPrinterGetPath(printer, kSerialPage, path, sizeof path) &&
      strcmp(path, search->uri) == 0) {
    search->printer = printer;
  }
}

//
// 'ShowSerialLinePage()' - A serial printer's Serial Line page: its port and line, changed by
// moving the printer to the new URI.
//
// The printer is found by the page's path on each request: a printer moved to another device
// is made anew.
//

static bool ShowSerialLinePage(pappl_client_t *client, void *data) {
  const auto *app = static_cast<const AppContext *>(data);
  if (!papplClientHTMLAuthorize(client)) {
    return true;
  }
  PageSearch search{papplClientGetURI(client), nullptr};
  papplSystemIteratePrinters(papplClientGetSystem(client), FindPageOwner, &search);
  pappl_printer_t *printer = search.printer;
  if (printer == nullptr) {
    return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
  }
  LineFields fields = FieldsOfUri(papplPrinterGetDeviceURI(printer));
  std::vector<SerialPortName> ports = OfferedPorts(*app, fields.port);
  std::string status;

  if (papplClientGetMethod(client) == HTTP_STATE_POST) {
    cups_option_t *form = nullptr;
    int num_form = ReadForm(client, &form, status);
    std::string uri;
    if (num_form > 0 && UriOfForm(ports, num_form, form, fields, uri, status)) {
      pappl_printer_t *moved = MovePrinterToDevice(printer, uri.c_str(), status);
      if (moved != nullptr) {
        char path[1024];
        papplPrinterGetPath(moved, nullptr, path, sizeof path);
        cupsFreeOptions(num_form, form);
        return papplClientRespondRedirect(client, HTTP_STATUS_FOUND, path);
      }
      // A failed move may have made the printer anew on its old device.
      search.printer = nullptr;
      papplSystemIteratePrinters(papplClientGetSystem(client), FindPageOwner, &search);
      if ((printer = search.printer) == nullptr) {
        cupsFreeOptions(num_form, form);
        return papplClientRespondRedirect(client, HTTP_STATUS_FOUND, "/");
      }
    }
    cupsFreeOptions(num_form, form);
  }

  papplClientHTMLPrinterHeader(client, printer, "Serial Line", 0, nullptr, nullptr);
  PutBanner(client, status);
  papplClientHTMLStartForm(client, papplClientGetURI(client), false);
  papplClientHTMLPuts(client,
                      "          <table class=\"form\">\n"
                      "            <tbody>\n");
  PutLineRows(client, ports, fields);
  papplClientHTMLPuts(client,
                      "              <tr><th></th><td><input type=\"submit\" value=\"Save "
                      "Changes\"></td></tr>\n"
                      "            </tbody>\n"
                      "          </table>\n"
                      "          </form>\n"
                      "          <p>The printer is made again on the new line: its settings "
                      "stay, its list of finished jobs is emptied.</p>\n");
  papplClientHTMLFooter(client);
  return true;
}

//
// 'AddPrinterPage()', 'SerialLinePage()' - The pages' resource callbacks: nothing thrown leaves
// them into PAPPL (out of memory ends the request, and PAPPL closes the connection).
//

static bool AddPrinterPage(pappl_client_t *client, void *data) {
  try {
    return ShowAddPrinterPage(client, data);
  } catch (const std::exception &error) {
    papplLogClient(client, PAPPL_LOGLEVEL_ERROR, "Add Printer page: %s", error.what());
    return false;
  }
}

static bool SerialLinePage(pappl_client_t *client, void *data) {
  try {
    return ShowSerialLinePage(client, data);
  } catch (const std::exception &error) {
    papplLogClient(client, PAPPL_LOGLEVEL_ERROR, "Serial Line page: %s", error.what());
    return false;
  }
}

//
// 'AddSerialWebPages()' - Put our Add Printer page in place of PAPPL's.
//

void AddSerialWebPages(pappl_system_t *system, AppContext *app) {
  papplSystemAddResourceCallback(system, "/addprinter", "text/html", AddPrinterPage, app);
}

//
// 'AddPrinterPages()' - The printer creation callback: a serial printer's Serial Line page and
// its link.
//

void AddPrinterPages(pappl_printer_t *printer, void *data) {
  const char *uri = papplPrinterGetDeviceURI(printer);
  if (uri == nullptr || strncasecmp(uri, "serial:", 7) != 0) {
    return;
  }
  char path[1024];
  papplPrinterGetPath(printer, kSerialPage, path, sizeof path);
  papplSystemAddResourceCallback(papplPrinterGetSystem(printer), path, "text/html", SerialLinePage,
                                 data);
  papplPrinterAddLink(
      printer, "Serial Line", path,
      static_cast<pappl_loptions_t>(PAPPL_LOPTIONS_NAVIGATION | PAPPL_LOPTIONS_STATUS |
                                    PAPPL_LOPTIONS_HTTPS_REQUIRED));
}
