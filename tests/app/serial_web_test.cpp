//
// The serial line set up on the web page and checked when a printer is added or moved: Add
// Printer's form makes the serial: URI the printer reports; a URI with a wrong line or port is
// refused with the reason on the form, by "quillmarsh add" and by "quillmarsh modify -v"; the
// printer's Serial Line page and "modify -v" move it, and it still prints; the pages are an
// administrator's only.
//

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "app_server.h"
#include "slow_port.h"
#include "test_support.h"

namespace {

// The device URI a printer reports.
std::string DeviceUri(const AppServer &server, const std::string &printer) {
  ipp_t *attrs = GetPrinterAttributes(server, printer);
  const char *uri =
      ippGetString(ippFindAttribute(attrs, "smi55357-device-uri", IPP_TAG_URI), 0, nullptr);
  std::string result = uri != nullptr ? uri : "";
  ippDelete(attrs);
  return result;
}

// The line fields of a form: port, baud, bits, parity, stop, flow.
std::string LineForm(const std::string &port, const std::string &baud, const std::string &bits,
                     const std::string &parity, const std::string &stop, const std::string &flow) {
  std::string encoded;
  for (char c : port) {
    encoded += c == '/' ? std::string("%2F") : std::string(1, c);
  }
  return "&port=" + encoded + "&baud=" + baud + "&bits=" + bits + "&parity=" + parity +
         "&stop=" + stop + "&flow=" + flow;
}

// Posts the form to the page with the session token the page shows the client; the status,
// and the answer in *body.
int PostForm(const AppServer &server, const Client &client, const std::string &path,
             const std::string &fields, std::string *body) {
  std::string page;
  WebRequest(server, client, path, nullptr, &page);
  const std::string form = "session=" + SessionToken(page) + fields;
  return WebRequest(server, client, path, &form, body);
}

constexpr const char *kBadBaud =
    "Bad serial device URI: baud=12345 is not a standard serial speed (such as 9600, 19200, "
    "38400 or 115200).";

class SerialWeb : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(port_.ok());
    ASSERT_TRUE(port_.GiveTo(ServerUid(), ServerGid()));
    port_.Unthrottle();
    server_.AddOptions({"serial-ports=" + port_.Path()});
    std::string error;
    ASSERT_TRUE(server_.Start(error)) << error;
  }

  ServerFolder folder_;
  AppServer server_{folder_};
  SlowPort port_{4096, 10};
};

TEST_F(SerialWeb, AddPrinterSetsTheLineAndTheSerialLinePageAndModifyMoveIt) {
  const Client admin = ControlClient(server_);
  const std::string port = port_.Path();

  // The form offers the port; a baud outside the speeds is refused with the reason, escaped
  // values and unknown ports without being put into a URI.
  std::string page;
  ASSERT_EQ(WebRequest(server_, admin, "/addprinter", nullptr, &page), HTTP_STATUS_OK);
  EXPECT_NE(page.find("<option value=\"" + port + "\">" + port + "</option>"), std::string::npos)
      << page;
  const struct {
    std::string fields, banner;
  } refused[] = {
      {LineForm(port, "12345", "8", "none", "1", "none"), kBadBaud},
      {LineForm(port, "9600", "8", "none", "1", "%22%3E%3Cb%3E"),
       "Choose one of the page's values for Flow control."},
      {LineForm(port, "9600", "8", "space", "1", "none"),
       "Bad serial device URI: parity=space is not supported; set the printer to none, even or "
       "odd parity."},
      {LineForm("/dev/null", "9600", "8", "none", "1", "none"),
       "Choose one of the serial ports the page offers."},
  };
  for (const auto &form : refused) {
    std::string answer;
    EXPECT_EQ(
        PostForm(server_, admin, "/addprinter", "&printer_name=serial" + form.fields, &answer),
        HTTP_STATUS_OK);
    EXPECT_NE(answer.find("<div class=\"banner\">" + form.banner + "</div>"), std::string::npos)
        << form.fields << "\n"
        << answer;
    EXPECT_EQ(answer.find("<b>"), std::string::npos);
  }
  EXPECT_EQ(server_.Command({"printers"}).out, "");

  EXPECT_EQ(
      PostForm(server_, admin, "/addprinter",
               "&printer_name=serial" + LineForm(port, "19200", "7", "even", "2", "soft"), nullptr),
      HTTP_STATUS_FOUND);
  EXPECT_EQ(DeviceUri(server_, "serial"),
            "serial:" + port + "?baud=19200+bits=7+parity=even+stop=2+flow=soft");

  // The printer's own page shows its line and moves it.
  ASSERT_EQ(WebRequest(server_, admin, "/serial/serial", nullptr, &page), HTTP_STATUS_OK);
  EXPECT_NE(page.find("<option value=\"19200\" selected>"), std::string::npos) << page;
  EXPECT_NE(page.find("<option value=\"soft\" selected>"), std::string::npos);
  EXPECT_EQ(PostForm(server_, admin, "/serial/serial",
                     LineForm(port, "57600", "8", "odd", "1", "hard"), nullptr),
            HTTP_STATUS_FOUND);
  EXPECT_EQ(DeviceUri(server_, "serial"),
            "serial:" + port + "?baud=57600+bits=8+parity=odd+stop=1+flow=hard");

  // modify -v: refused with the reason, the printer left as it was; then moved.
  CommandRun bad =
      server_.Command({"modify", "-d", "serial", "-v", "serial:" + port + "?baud=12345"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, std::string("quillmarsh: Unable to modify printer: ") + kBadBaud + "\n");
  EXPECT_EQ(DeviceUri(server_, "serial"),
            "serial:" + port + "?baud=57600+bits=8+parity=odd+stop=1+flow=hard");
  CommandRun moved = server_.Command(
      {"modify", "-d", "serial", "-v", "serial:" + port, "-o", "vorne-top-margin=3"});
  EXPECT_EQ(moved.status, 0) << moved.err;
  EXPECT_EQ(DeviceUri(server_, "serial"), "serial:" + port);
  ipp_t *attrs = GetPrinterAttributes(server_, "serial");
  EXPECT_EQ(ippGetInteger(ippFindAttribute(attrs, "vorne-top-margin-default", IPP_TAG_INTEGER), 0),
            3);
  ippDelete(attrs);

  // The move is saved: a restart finds the printer on its new line with its settings.
  ASSERT_TRUE(server_.Stop());
  std::string error;
  ASSERT_TRUE(server_.Start(error)) << error;
  EXPECT_EQ(DeviceUri(server_, "serial"), "serial:" + port);
  attrs = GetPrinterAttributes(server_, "serial");
  EXPECT_EQ(ippGetInteger(ippFindAttribute(attrs, "vorne-top-margin-default", IPP_TAG_INTEGER), 0),
            3);
  ippDelete(attrs);

  // A printer with a job waiting is not moved.
  int held = PrintJob(
      server_, "serial", BlackBarRaster(), "image/pwg-raster",
      [](ipp_t *request) {
        ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "job-hold-until", nullptr,
                     "indefinite");
      },
      &error);
  ASSERT_NE(held, 0) << error;
  CommandRun busy =
      server_.Command({"modify", "-d", "serial", "-v", "serial:" + port + "?baud=300"});
  EXPECT_EQ(busy.status, 1);
  EXPECT_EQ(busy.err,
            "quillmarsh: Unable to modify printer: The printer has 1 job queued or printing: "
            "change its device once they are done or canceled.\n");
  EXPECT_TRUE(CancelJob(server_, "serial", held, &error)) << error;
  EXPECT_EQ(DeviceUri(server_, "serial"), "serial:" + port);

  // The printer made again prints on the port.
  int job = PrintJob(server_, "serial", BlackBarRaster(), "image/pwg-raster", nullptr, &error);
  ASSERT_NE(job, 0) << error;
  EXPECT_EQ(WaitForJob(server_, "serial", job).state, IPP_JSTATE_COMPLETED) << server_.LogTail();
  ASSERT_TRUE(port_.Drain(30));
  EXPECT_GT(port_.ReceivedCount(), 0u);
}

TEST_F(SerialWeb, AddRefusesAWrongLineOrPortWithTheReason) {
  const std::string port = port_.Path();
  const std::string file = folder_.Make("plain") + "/file";
  std::ofstream(file) << "x";
  const struct {
    std::string uri, reason;
  } refused[] = {
      {"serial:" + port + "?baud=12345", kBadBaud},
      {"serial:" + port + "?bits=9", "Bad serial device URI: bits=9 is not 7 or 8 data bits."},
      {"serial:" + port + "?speed=9600",
       "Bad serial device URI: unknown option \"speed\" (the options are baud, bits, parity, "
       "stop and flow)."},
      {"serial:" + file, "Bad serial device URI: " + file +
                             " is not a serial port: it is a "
                             "regular file."},
      {"serial:/dev/null",
       "Bad serial device URI: /dev/null is not a serial port: it is a device that is not a "
       "terminal."},
  };
  for (const auto &entry : refused) {
    CommandRun added = server_.Command({"add", "-d", "vorne", "-v", entry.uri, "-m", "vorne24"});
    EXPECT_EQ(added.status, 1) << entry.uri;
    EXPECT_EQ(added.err, "quillmarsh: Unable to add printer: " + entry.reason + "\n");
  }
  EXPECT_EQ(server_.Command({"printers"}).out, "");
  EXPECT_EQ(server_.Command({"add", "-d", "vorne", "-v", "serial:" + port, "-m", "vorne24"}).status,
            0);
}

TEST_F(SerialWeb, ThePagesAreAnAdministratorsOnly) {
  std::string error;
  ASSERT_TRUE(server_.AddPrinter("serial", "serial:" + port_.Path(), error)) << error;
  // A local account over loopback is just a user: no form, and its posts change nothing, even
  // with an administrator's session token.
  const Client user;
  std::string token;
  {
    std::string page;
    WebRequest(server_, ControlClient(server_), "/addprinter", nullptr, &page);
    token = SessionToken(page);
    ASSERT_FALSE(token.empty());
  }
  for (const char *path : {"/addprinter", "/serial/serial"}) {
    std::string page;
    EXPECT_EQ(WebRequest(server_, user, path, nullptr, &page), HTTP_STATUS_FORBIDDEN) << path;
    EXPECT_NE(page.find("Administrators only"), std::string::npos) << path;
    EXPECT_EQ(page.find("<form"), std::string::npos) << path;
    const std::string form = "session=" + token + "&printer_name=evil" +
                             LineForm(port_.Path(), "300", "8", "none", "1", "none");
    EXPECT_EQ(WebRequest(server_, user, path, &form, nullptr), HTTP_STATUS_FORBIDDEN) << path;
  }
  EXPECT_EQ(server_.Command({"printers"}).out, "serial\n");
  EXPECT_EQ(DeviceUri(server_, "serial"), "serial:" + port_.Path());
}

}  // namespace
