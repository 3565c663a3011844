// The web API served over real sockets and read by real clients: curl and,
// when installed, headless Chromium fetching across origins from a page
// loaded from a file.

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "DiscoveryServicePersistent.h"
#include "HttpServer.h"
#include "TdsWebHandler.h"
#include "TestDataRoot.h"
#include "TestLoopbackPeer.h"
#include "TestWait.h"

namespace corvane::talvenor {
namespace {

// Request spool folders and logs of this suite stay in a private data root.
test::TempDataRoot g_dataRoot;

using DisplayInfo = server::IDiscoveryService::DisplayInfo;

// Runs a shell command line and returns what it printed on stdout. Every
// command is bounded by `timeout`, so a stuck client fails the test.
std::string RunCommand(const std::string& command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return out;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) out.append(buffer.data(), n);
  return out;
}

bool Installed(const std::string& program) { return !RunCommand("command -v " + program).empty(); }

std::string StripDates(const std::string& response) {
  std::string out;
  size_t at = 0;
  while (at < response.size()) {
    size_t end = response.find("\r\n", at);
    if (end == std::string::npos) end = response.size();
    std::string line = response.substr(at, end - at);
    if (line.rfind("Date: ", 0) != 0 && line.rfind("Last-Modified: ", 0) != 0) out += line + "\r\n";
    at = end + 2;
  }
  return out;
}

class WebApiClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A name with a quote, a backslash and a control byte: the JSON must
    // escape all three.
    DisplayInfo display;
    display.id = UUID("2783ffd0-7ec7-11e2-9e96-0800200c9a66");
    display.name = std::string("D\"1\\\x01", 5);
    display.ipv4 = 0x0A000001;
    display.port = 53202;
    display.flags = 0x01030800;
    display.appData = "TG=Blue:1,Pink:257;SN=Room;SD=,;";
    registry_->ForwardToSubscribers(display);
    ASSERT_TRUE(test::WaitUntil(
        [&] {
          std::vector<DisplayInfo> all;
          registry_->GetDiscovered(&all);
          return all.size() == 1;
        },
        10000));
    port_ = test::PickFreePort();
    server_ = RefPtr<HttpServer>(new HttpServer(0, port_), false);
    server_->RegisterHandler("/api", RefPtr<TdsWebHandler>(new TdsWebHandler(registry_), false).Get());
    ASSERT_EQ(0, server_->Start());
  }
  void TearDown() override {
    if (server_) server_->Stop();
  }

  std::string Url(const std::string& target) { return "http://127.0.0.1:" + std::to_string(port_) + target; }

  static constexpr char kDisplayJson[] =
      R"({"displays":[{"name":"D\"1\\\u0001","id":"2783ffd0-7ec7-11e2-9e96-0800200c9a66","ipv4":"10.0.0.1",)"
      R"("port":53202,"user_count":3,"locked":true,"airplay_enabled":false,"session_capable":false,)"
      R"("in_session":true,"tags":[{"tag_name":"Blue","tag_color_index":1},{"tag_name":"Pink","tag_color_index":1}],)"
      R"("session_name":"Room","synced_display_ids":[]}]})";

  std::shared_ptr<server::TalvenorDiscoveryServicePersistent> registry_ =
      std::make_shared<server::TalvenorDiscoveryServicePersistent>(0);
  uint16_t port_ = 0;
  RefPtr<HttpServer> server_;
};

TEST_F(WebApiClientTest, CurlReadsBothDocumentsAndIsTurnedAwayElsewhere) {
  if (!Installed("curl")) GTEST_SKIP() << "curl is not installed (scripts/install-deps.sh installs it)";
  const std::string curl = "timeout 30 curl -s --max-time 20 ";

  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nAccess-Control-Allow-Origin: *\r\n"
      "Server: Talvenor 2.0\r\nConnection: close\r\nContent-Length: " +
      std::to_string(sizeof(kDisplayJson) - 1) + "\r\n\r\n";
  const std::string discover = RunCommand(curl + "-i '" + Url("/api/discover") + "'");
  const size_t bodyAt = discover.find("\r\n\r\n");
  ASSERT_NE(std::string::npos, bodyAt) << discover;
  EXPECT_EQ(head, StripDates(discover.substr(0, bodyAt + 2)) + "\r\n");
  EXPECT_EQ(kDisplayJson, discover.substr(bodyAt + 4));

  // A POST with a JSON body is answered like a GET.
  const std::string connections = RunCommand(curl + "'" + Url("/api/connections") + "'");
  EXPECT_EQ(0u, connections.find(R"({"connections":{"publisher_count":0,"subscriber_count":0,)")) << connections;
  EXPECT_EQ(connections,
            RunCommand(curl + "-X POST -H 'Content-Type: application/json' --data '{\"a\":[[[1]]]}' '" +
                Url("/api/connections") + "'"));

  // Declined targets, other prefixes and other methods: the 404 page.
  for (const char* target : {"/api/discover?x", "/api/discover/", "/API/DISCOVER", "/api", "/favicon.ico"}) {
    EXPECT_EQ("404", RunCommand(curl + "-w '%{http_code}' -o /dev/null '" + Url(target) + "'")) << target;
    EXPECT_EQ("HTTP/1.1 404 Not Found\r\n", RunCommand(curl + "'" + Url(target) + "'")) << target;
  }
  EXPECT_EQ("404", RunCommand(curl + "-I -o /dev/null -w '%{http_code}' '" + Url("/api/discover") + "'"));
  EXPECT_TRUE(test::WaitUntil([&] { return server_->PendingRequestCount() == 0; }, 5000));
}

TEST_F(WebApiClientTest, HeadlessChromiumFetchesAcrossOrigins) {
  std::string browser;
  for (const char* name : {"chromium", "chromium-browser"}) {
    if (Installed(name)) {
      browser = name;
      break;
    }
  }
  if (browser.empty()) GTEST_SKIP() << "chromium is not installed (Debian package chromium)";

  // The page comes from a file, the JSON from the server: a cross-origin
  // fetch that only the API's Access-Control-Allow-Origin makes readable.
  const std::string page = g_dataRoot / "page.html";
  std::ofstream(page) << "<html><body><pre id=out>pending</pre><script>\n"
                         "fetch('"
                      << Url("/api/discover")
                      << "').then(r => r.json())\n"
                         "  .then(j => { document.getElementById('out').textContent =\n"
                         "     'OK ' + j.displays.length + ' ' + j.displays[0].session_name + ' ' +\n"
                         "     j.displays[0].tags.map(t => t.tag_name).join(','); })\n"
                         "  .catch(e => { document.getElementById('out').textContent = 'FAILED ' + e; });\n"
                         "</script></body></html>\n";
  const std::string dom = RunCommand("timeout 90 " + browser +
                              " --headless --no-sandbox --disable-gpu --no-first-run --disable-dev-shm-usage"
                              " --user-data-dir='" + (g_dataRoot / "profile") +
                              "' --virtual-time-budget=10000 --dump-dom 'file://" + page + "' 2>/dev/null");
  EXPECT_NE(std::string::npos, dom.find("OK 1 Room Blue,Pink")) << dom;
}

}  // namespace
}  // namespace corvane::talvenor
