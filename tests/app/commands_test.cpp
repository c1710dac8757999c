//
// The commands against a private server: default and delete find printers added while it runs,
// submit -n prints the copies, add takes a file: device whose file is made when it first
// prints, and the lines the program prints itself (--help, --version, status).
//

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "app_server.h"
#include "printer_stream.h"

#ifndef QUILLMARSH_VERSION
#error "QUILLMARSH_VERSION must be the program's version"
#endif

namespace {

// What a command must end with.
struct CommandCase {
  std::vector<std::string> args;
  int status;
  std::string out, err;
};

void ExpectCommands(const AppServer &server, const std::vector<CommandCase> &cases) {
  for (const CommandCase &c : cases) {
    CommandRun run = server.Command(c.args);
    std::string line;
    for (const std::string &arg : c.args) {
      line += " " + arg;
    }
    EXPECT_EQ(run.status, c.status) << "quillmarsh" << line << ": " << run.err;
    EXPECT_EQ(run.out, c.out) << "quillmarsh" << line;
    EXPECT_EQ(run.err, c.err) << "quillmarsh" << line;
  }
}

// The job id in submit's answer ("PRINTER-ID"), 0 when there is none.
int SubmittedJob(const CommandRun &run) {
  size_t dash = run.out.rfind('-');
  return run.status == 0 && dash != std::string::npos ? atoi(run.out.c_str() + dash + 1) : 0;
}

bool Exists(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

TEST(Commands, DefaultAndDeleteFindPrintersAddedWhileTheServerRuns) {
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  std::string out = folder.Make("out");
  ASSERT_TRUE(server.AddPrinter("vorne", "file://" + out + "/vorne.prn", error)) << error;
  ASSERT_TRUE(server.AddPrinter("other", "file://" + out + "/other.prn", error)) << error;

  ExpectCommands(server, {
                             {{"default"}, 0, "vorne\n", ""},  // the first printer
                             {{"default", "-d", "other"}, 0, "", ""},
                             {{"default"}, 0, "other\n", ""},
                             {{"delete", "-d", "vorne"}, 0, "", ""},
                             {{"printers"}, 0, "other\n", ""},
                             {{"delete", "-d", "vorne"},
                              1,
                              "",
                              "quillmarsh: Unable to get information for printer: printer-uri "
                              "ipp://localhost/ipp/print/vorne not found.\n"},
                         });
}

// The text default is what makes a driverless queue's jobs print as text: modify must set it
// beside the other defaults.
TEST(Commands, ModifySetsTheContentDefaultWithTheOthers) {
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  std::string out = folder.Make("out");
  ASSERT_TRUE(server.AddPrinter("vorne", "file://" + out + "/vorne.prn", error)) << error;

  ExpectCommands(
      server,
      {{{"modify", "-d", "vorne", "-o", "print-content-optimize=text", "-o", "print-quality=high"},
        0,
        "",
        ""}});
  ipp_t *attrs = GetPrinterAttributes(server, "vorne");
  ASSERT_NE(attrs, nullptr);
  EXPECT_STREQ(
      ippGetString(ippFindAttribute(attrs, "print-content-optimize-default", IPP_TAG_KEYWORD), 0,
                   nullptr),
      "text");
  EXPECT_EQ(ippGetInteger(ippFindAttribute(attrs, "print-quality-default", IPP_TAG_ENUM), 0),
            IPP_QUALITY_HIGH);
  ippDelete(attrs);
}

TEST(Commands, SubmitPrintsTheCopiesIntoAFileTheFirstJobMakes) {
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  std::string out = folder.Make("out");
  std::string once = out + "/once.prn", twice = out + "/twice.prn";
  ASSERT_TRUE(server.AddPrinter("once", "file://" + once, error)) << error;
  ASSERT_TRUE(server.AddPrinter("twice", "file://" + twice, error)) << error;
  EXPECT_FALSE(Exists(once));
  // A file in a folder that does not exist is refused.
  EXPECT_FALSE(server.AddPrinter("nowhere", "file://" + out + "/none/x.prn", error));
  EXPECT_NE(error.find("Unable to add printer: Unsupported smi55357-device-uri uri value."),
            std::string::npos)
      << error;

  MakeDocument(folder, "pdfwrite", "document.pdf", {"document.ps"});  // two pages
  std::string pdf = folder.path() + "/document.pdf";
  for (const auto &[printer, args] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"once", {"submit", "-d", "once", pdf}},
           {"twice", {"submit", "-d", "twice", "-n", "2", pdf}}}) {
    CommandRun run = server.Command(args);
    int id = SubmittedJob(run);
    ASSERT_GT(id, 0) << run.out << run.err;
    EXPECT_EQ(WaitForJob(server, printer, id).state, IPP_JSTATE_COMPLETED) << server.LogTail();
  }

  // The second copy repeats the pages, without the job's opening quality command and carriage
  // return.
  Bytes one = ReadBytes(once), two = ReadBytes(twice);
  ASSERT_FALSE(one.empty());
  ASSERT_GT(two.size(), one.size());
  size_t opening = 2 * one.size() - two.size();
  EXPECT_LE(opening, 4u);
  Bytes expected = one;
  expected.insert(expected.end(), one.begin() + static_cast<long>(opening), one.end());
  EXPECT_TRUE(two == expected) << one.size() << " bytes once, " << two.size() << " twice";
  ParsedStream parsed = ParsePrinterStream(two.data(), two.size());
  ASSERT_TRUE(parsed.ok) << parsed.error;
  int pages = 0;
  for (const PrinterCommand &command : parsed.commands) {
    pages += command.kind == CommandKind::kFormFeed ? 1 : 0;
  }
  EXPECT_EQ(pages, 4);
}

TEST(Commands, TheProgramsOwnLines) {
  ServerFolder folder;
  AppServer server(folder);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  // A server whose state has not changed has no time to tell.
  ExpectCommands(server, {{{"status"}, 0, "Running, idle.\n", ""}});
  ASSERT_TRUE(server.AddPrinter("vorne", "file://" + folder.Make("out") + "/vorne.prn", error))
      << error;
  ASSERT_EQ(server.Command({"pause", "-d", "vorne"}).status, 0);

  const std::string version = std::string("quillmarsh ") + QUILLMARSH_VERSION + "\n";
  ExpectCommands(server, {
                             {{"--version"}, 0, version, ""},
                             {{"-d", "vorne", "--version"}, 0, version, ""},
                             {{"submit", "-n", "0", "x.pdf"},
                              1,
                              "",
                              "quillmarsh: Bad number of copies '0' after '-n' (1 to 9999).\n"},
                             {{"status", "-d", "nosuch"},
                              1,
                              "",
                              "quillmarsh: Unable to get the status of 'nosuch': printer-uri "
                              "ipp://localhost/ipp/print/nosuch not found.\n"},
                         });

  CommandRun help = server.Command({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: quillmarsh SUB-COMMAND [OPTIONS] [FILENAME]\n", 0), 0u);
  EXPECT_NE(
      help.out.find("  -v DEVICE-URI    The device (add, modify): serial:/dev/ttyS0?baud=9600,\n"
                    "                   socket://HOST:PORT, or file:PATH"),
      std::string::npos)
      << help.out;

  // A space between the date and the reasons.
  CommandRun status = server.Command({"status", "-d", "vorne"});
  EXPECT_EQ(status.status, 0);
  const std::string head = "Running, stopped since ", tail = " paused.\n";
  ASSERT_GT(status.out.size(), head.size() + tail.size()) << status.out;
  EXPECT_EQ(status.out.substr(0, head.size()), head);
  EXPECT_EQ(status.out.substr(status.out.size() - tail.size()), tail);
  std::string date = status.out.substr(head.size(), status.out.size() - head.size() - tail.size());
  EXPECT_GT(httpGetDateTime(date.c_str()), 0) << status.out;  // "Mon, 07 Dec 2026 23:30:20 GMT"

  server.Stop();
  ExpectCommands(server, {{{"status"}, 0, "Server is not running.\n", ""}});
}

}  // namespace
