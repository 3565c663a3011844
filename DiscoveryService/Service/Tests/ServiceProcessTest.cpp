// The executable run in the foreground, as an administrator runs it: a
// temporary data folder and configuration, protocol 2 on 127.0.0.1:53202,
// and the stop control by signal.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "ServiceTestSupport.h"
#include "TestLoopbackPeer.h"

namespace corvane::test {
namespace {

using namespace std::chrono_literals;

const std::string kProgram = TDS_SERVICE_EXECUTABLE;
constexpr uint16_t kPort = 53202;
// Sanitizer builds start and stop several times slower.
constexpr auto kDeadline = 60s;

// A publish of display "Room1" (192.168.1.10:7000, flags 0x01000000,
// application data "SN=Demo;").
const std::vector<uint8_t> kPublish = {
    0x43, 0x52, 0x56, 0x54, 0x44, 0x53, 0x30, 0x00, 0x00, 0x00, 0x01, 0xD0, 0xFF, 0x83, 0x27, 0xC7, 0x7E, 0xE2, 0x11, 0x9E,
    0x96, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66, 0x05, 0x00, 0x00, 0x00, 0x52, 0x6F, 0x6F, 0x6D, 0x31, 0x0A, 0x01, 0xA8, 0xC0,
    0x58, 0x1B, 0x00, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x53, 0x4E, 0x3D, 0x44, 0x65, 0x6D, 0x6F, 0x3B};
const std::vector<uint8_t> kSubscribe = {0x43, 0x52, 0x56, 0x54, 0x44, 0x53, 0x01, 0x00, 0x00, 0x00, 0x02};

// Holds a port the way another program would: bound on every address and
// listening.
class PortHolder {
 public:
  PortHolder() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
  ~PortHolder() { Close(); }
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;

  bool Listen(uint16_t port) {
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd_, 4) == 0;
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// The next count bytes that are not keep-alive pings (which the service may
// send wherever a message could start), or what came before the deadline.
std::vector<uint8_t> ReceiveMessage(LoopbackPeer& peer, size_t count, std::chrono::milliseconds timeout) {
  static const std::vector<uint8_t> kPing = {0x43, 0x52, 0x56, 0x50, 0x4E, 0x47};
  auto deadline = Clock::now() + timeout;
  auto left = [&] {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return ms > 0 ? static_cast<int>(ms) : 0;
  };
  for (;;) {
    std::vector<uint8_t> head;
    if (!peer.ReceiveExactly(kPing.size(), &head, left())) return {};
    if (head == kPing) continue;
    std::vector<uint8_t> rest;
    if (!peer.ReceiveExactly(count - head.size(), &rest, left())) return head;
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
  }
}

class ServiceProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root_.Path().empty());
    mkdir((root_ / "data").c_str(), 0755);
    mkdir((root_ / "etc").c_str(), 0755);
    mkdir((root_ / "etc/Corvane").c_str(), 0755);
    Configure("");
  }

  // The configuration file: text after the test's own HTTP port.
  void Configure(const std::string& text) {
    ASSERT_TRUE(WriteTextFile(root_ / "etc/Corvane/DirectoryService.conf",
                              "httpPort=" + std::to_string(httpPort_) + "\n" + text));
  }

  bool Start(const std::string& notifySocket = "") {
    started_ = Clock::now();
    return child_.Start(kProgram, {"-e"},
                        {{"CORVANE_DATA_ROOT", root_ / "data"},
                         {"CORVANE_REGISTRY_ROOT", root_ / "etc"},
                         {"NOTIFY_SOCKET", notifySocket}});
  }

  std::string Logs() { return ReadLogs(root_ / "data/Corvane/Talvenor/DiscoveryService/Logs"); }

  bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout = kDeadline) {
    return WaitUntil([&] { return Logs().find(text) != std::string::npos; }, timeout);
  }

  // Waits for the child to exit; its exit code, or -1.
  int WaitForExit(std::chrono::milliseconds timeout = kDeadline) {
    int status = 0;
    if (!child_.Wait(timeout, &status)) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  }

  static long Ms(Clock::duration d) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
  }

  TempFolder root_;
  const uint16_t httpPort_ = PickFreePort();
  Child child_;
  Clock::time_point started_;
};

TEST_F(ServiceProcessTest, PublishAndSubscribeThenSigtermStopsCleanly) {
  ASSERT_TRUE(Start());
  ASSERT_TRUE(WaitForLog("Talvenor Discovery Service Started")) << Logs();
  long startMs = Ms(Clock::now() - started_);

  std::string logs = Logs();
  EXPECT_NE(logs.find("Talvenor Discovery Service Version - 3.5.11296 Build# 11296 (built 2018-12-11 at 15:10)"),
            std::string::npos);
  EXPECT_NE(logs.find("All TDS protocols are enabled"), std::string::npos);
  EXPECT_LT(logs.find("All TDS protocols are enabled"), logs.find("Talvenor Discovery Service Started"));

  LoopbackPeer publisher;
  ASSERT_TRUE(publisher.Connect(kPort));
  ASSERT_TRUE(publisher.Send(kPublish));
  LoopbackPeer subscriber;
  ASSERT_TRUE(subscriber.Connect(kPort));
  ASSERT_TRUE(subscriber.Send(kSubscribe));
  EXPECT_EQ(ReceiveMessage(subscriber, kPublish.size(), kDeadline), kPublish);

  auto stopAt = Clock::now();
  ASSERT_TRUE(child_.Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(), 0);
  long stopMs = Ms(Clock::now() - stopAt);
  std::printf("start to \"Started\": %ld ms, SIGTERM to exit: %ld ms\n", startMs, stopMs);

  logs = Logs();
  EXPECT_NE(logs.find("\t* Information *\tcorvane::TalvenorDiscoveryServiceMain::OnStop\t"
                      "Talvenor Discovery Service Stopped\tDiscoveryService/Src/DiscoveryServiceMain\t"),
            std::string::npos)
      << logs;
  EXPECT_NE(logs.find("\t* Information *\tcorvane::TalvenorDiscoveryServiceMain::ThreadFunc\t"
                      "Talvenor Discovery Service Started\tDiscoveryService/Src/DiscoveryServiceMain\t"),
            std::string::npos);
}

TEST_F(ServiceProcessTest, WebApiShowsAPublishedDisplay) {
  ASSERT_TRUE(Start());
  ASSERT_TRUE(WaitForLog("Talvenor Discovery Service Started")) << Logs();
  LoopbackPeer publisher;
  ASSERT_TRUE(publisher.Connect(kPort));
  ASSERT_TRUE(publisher.Send(kPublish));

  const std::string display =
      R"({"displays":[{"name":"Room1","id":"2783ffd0-7ec7-11e2-9e96-0800200c9a66","ipv4":"192.168.1.10",)"
      R"("port":7000,"user_count":0,"locked":false,"airplay_enabled":false,"session_capable":false,)"
      R"("in_session":true,"tags":[],"session_name":"Demo","synced_display_ids":[]}]})";
  std::string response;
  EXPECT_TRUE(WaitUntil(
      [&] {
        LoopbackPeer web;
        if (!web.Connect(httpPort_)) return false;
        web.Send("GET /api/discover HTTP/1.1\r\nHost: localhost\r\n\r\n");
        response = web.ReceiveText(1 << 16, 5000);
        return response.find(display) != std::string::npos;
      },
      kDeadline))
      << response;
  EXPECT_EQ(0u, response.find("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                              "Access-Control-Allow-Origin: *\r\nDate: "));
  EXPECT_NE(std::string::npos, response.find("Content-Length: " + std::to_string(display.size()) + "\r\n\r\n"));

  ASSERT_TRUE(child_.Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(), 0);
  // The HTTP server ran until the process ended, and is gone with it.
  LoopbackPeer late;
  EXPECT_FALSE(late.Connect(httpPort_, 500));
}

TEST_F(ServiceProcessTest, DisabledProtocol1AndCtrlC) {
  Configure("disablev1=1\n");
  ASSERT_TRUE(Start());
  ASSERT_TRUE(WaitForLog("Talvenor Discovery Service Started")) << Logs();
  EXPECT_NE(Logs().find("TDS Protocol version 1 has been disabled"), std::string::npos);
  EXPECT_EQ(Logs().find("All TDS protocols are enabled"), std::string::npos);

  ASSERT_TRUE(child_.Signal(SIGINT));
  EXPECT_EQ(WaitForExit(), 0);
  EXPECT_NE(Logs().find("Talvenor Discovery Service Stopped"), std::string::npos);
}

TEST_F(ServiceProcessTest, SigtermWhileThePortIsRetriedEndsTheRetriesAndStopsCleanly) {
  PortHolder holder;
  ASSERT_TRUE(holder.Listen(kPort));
  NotifySocket notify(root_ / "notify");
  ASSERT_TRUE(notify.Bound());
  ASSERT_TRUE(Start(notify.Path()));
  EXPECT_EQ(notify.Receive(kDeadline), "READY=1");
  // The registry is trying to open the port, which stays busy.
  ASSERT_TRUE(WaitForLog("Initialization started")) << Logs();

  auto signalled = Clock::now();
  ASSERT_TRUE(child_.Signal(SIGTERM));
  EXPECT_EQ(notify.Receive(kDeadline), "STOPPING=1");
  // A requested stop, not a failure: status 0 long before the retries ran out.
  EXPECT_EQ(WaitForExit(), 0);
  // The tries left would take about 5 s more.
  EXPECT_LT(Ms(Clock::now() - signalled), 4000);
  std::string logs = Logs();
  EXPECT_NE(logs.find("Talvenor Discovery Service Stopped"), std::string::npos) << logs;
  // The steps after the one in progress were skipped.
  EXPECT_EQ(logs.find("Talvenor Discovery Service Started"), std::string::npos) << logs;
  EXPECT_EQ(logs.find("Unable to initialize TDS, exiting"), std::string::npos) << logs;
}

TEST_F(ServiceProcessTest, FifoInPlaceOfTheConfigurationFileIsNotWaitedFor) {
  // Swapped in while the service runs: the registry's purge pass reads the
  // file about once a second. (At start-up a FIFO would mean the defaults,
  // httpPort 80 among them, which no test binds.)
  ASSERT_TRUE(Start());
  ASSERT_TRUE(WaitForLog("Talvenor Discovery Service Started")) << Logs();
  const std::string conf = root_ / "etc/Corvane/DirectoryService.conf";
  const std::string fifo = root_ / "etc/Corvane/fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
  ASSERT_EQ(0, rename(fifo.c_str(), conf.c_str()));
  // The service is probed through two purge passes, then must still stop.
  bool reachable = true;
  auto swapped = Clock::now();
  WaitUntil(
      [&] {
        LoopbackPeer probe;
        reachable = reachable && probe.Connect(kPort);
        return !reachable || Clock::now() - swapped > 2500ms;
      },
      5000ms);
  EXPECT_TRUE(reachable);
  ASSERT_TRUE(child_.Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(), 0);
  EXPECT_NE(Logs().find("Talvenor Discovery Service Stopped"), std::string::npos);
}

TEST_F(ServiceProcessTest, PortHeldByAnotherProgramEndsTheProcessWith255) {
  PortHolder holder;
  ASSERT_TRUE(holder.Listen(kPort));
  ASSERT_TRUE(Start());
  EXPECT_EQ(WaitForExit(), 255);
  long elapsed = Ms(Clock::now() - started_);
  // Five attempts, each failure followed by a 1000 ms pause.
  EXPECT_GE(elapsed, 4500);
  std::printf("port busy: exit after %ld ms\n", elapsed);
  std::string logs = Logs();
  EXPECT_NE(logs.find("Unable to initialize TDS, exiting"), std::string::npos) << logs;
  EXPECT_EQ(logs.find("Talvenor Discovery Service Started"), std::string::npos);
}

}  // namespace
}  // namespace corvane::test
