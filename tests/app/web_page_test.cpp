//
// The web interface in a real browser: Debian's chromium, headless, shows the printer's state
// on its page and, to an administrator, the Vorne settings, with the printer's defaults, on
// its Printing Defaults page.
//

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "app_server.h"

namespace {

constexpr const char *kChromium = "/usr/bin/chromium";

// The page as chromium has built it, scripts run.
std::string RenderedPage(const ServerFolder &folder, const std::string &url) {
  std::string profile = folder.path() + "/chromium";
  CommandRun run = RunAs({kChromium, "--headless", "--no-sandbox", "--disable-gpu",
                          "--disable-background-networking", "--disable-dev-shm-usage",
                          "--no-first-run", "--user-data-dir=" + profile, "--dump-dom", url},
                         {"HOME=" + profile, "PATH=/usr/bin:/bin"}, geteuid(), getegid(), 120);
  EXPECT_EQ(run.status, 0) << run.err;
  return run.out;
}

TEST(WebPage, ShowsThePrintersStateAndTheVorneSettings) {
  ASSERT_EQ(access(kChromium, X_OK), 0) << "chromium is missing (Debian package chromium)";
  // Printing Defaults is an administrator's page: daemon, in the admin group, logs in through
  // a PAM service of the test's with the credentials in the URL.
  TestPamService pam;
  ASSERT_TRUE(pam.installed());
  ServerFolder folder;
  AppServer server(folder);
  server.AddOptions({"auth-service=" + pam.name(), "admin-group=daemon"});
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  ASSERT_TRUE(server.AddPrinter("vorne", "file://" + folder.Make("out"), error)) << error;
  CommandRun modified = server.Command(
      {"modify", "-d", "vorne", "-o", "vorne-top-margin=7", "-o", "vorne-turn-pages=true"});
  ASSERT_EQ(modified.status, 0) << modified.err;

  std::string home = RenderedPage(folder, server.WebUrl("/vorne/"));
  EXPECT_NE(home.find("Idle, 0 jobs"), std::string::npos) << home;
  EXPECT_NE(home.find("Vorne 24-Pin Dot Matrix"), std::string::npos);

  std::string url = server.WebUrl("/vorne/printing");
  url.insert(url.find("//") + 2, "daemon:any@");
  std::string defaults = RenderedPage(folder, url);
  EXPECT_NE(defaults.find("Extra top margin (mm):</th><td><input type=\"number\" "
                          "name=\"vorne-top-margin\" min=\"0\" max=\"25\" value=\"7\">"),
            std::string::npos)
      << defaults;
  EXPECT_NE(defaults.find("Extra left margin (mm):</th><td><input type=\"number\" "
                          "name=\"vorne-left-margin\" min=\"0\" max=\"25\" value=\"0\">"),
            std::string::npos);
  EXPECT_NE(defaults.find("name=\"vorne-turn-pages\" checked"), std::string::npos);
}

}  // namespace
