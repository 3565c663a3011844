#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DataStream.h"
#include "HttpRequest.h"
#include "HttpServer.h"
#include "Logger.h"
#include "TestDataRoot.h"
#include "TestLogCapture.h"
#include "TestLoopbackPeer.h"
#include "TestWait.h"
#include "TransportLoopbackSupport.h"
#include "SocketLayer.h"

namespace corvane {
namespace {

// Request spool folders and logs of this suite stay in a private data root.
test::TempDataRoot g_dataRoot;

using test::LoopbackPeer;
using test::PickFreePort;
using test::WaitUntil;

// Answers with a body of `size` bytes ('a'..'z' repeating) and records what
// it saw; can be told to decline or to hold until released.
class ProbeHandler final : public HttpServer::IUriHandler, public IRefCountImpl {
 public:
  bool HandleRequest(Request* request, IDataStream* body, std::string* headers) override {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      calls_++;
      lastMethod_ = request->GetRequestType();
      lastSegments_ = request->GetPathSegments();
      lastPeer_ = request->GetPeerIpv4();
      HttpServer::IUriHandler::Request::BodyData data;
      if (request->GetBodyData(&data) == 0) lastBody_.assign(data.data ? data.data : "", data.size);
      entered_.notify_all();
      released_.wait_for(lock, std::chrono::seconds(20), [&] { return !hold_; });
    }
    if (decline_) return false;
    std::string text(size_, '\0');
    for (size_t i = 0; i < text.size(); i++) text[i] = static_cast<char>('a' + i % 26);
    body->Write(text.data(), static_cast<uint32_t>(text.size()));
    *headers = "Content-Type: text/plain\r\n";
    return true;
  }
  void Hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = true;
  }
  void Unblock() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = false;
    released_.notify_all();
  }
  bool WaitEntered(int calls) {
    std::unique_lock<std::mutex> lock(mutex_);
    return entered_.wait_for(lock, std::chrono::seconds(10), [&] { return calls_ >= calls; });
  }
  int Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  std::string LastBody() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastBody_;
  }
  std::string LastMethod() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastMethod_;
  }
  std::vector<std::string> LastSegments() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastSegments_;
  }
  uint32_t LastPeer() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastPeer_;
  }

  std::atomic<size_t> size_{5};
  std::atomic<bool> decline_{false};

 private:
  std::mutex mutex_;
  std::condition_variable entered_;
  std::condition_variable released_;
  bool hold_ = false;
  int calls_ = 0;
  std::string lastMethod_;
  std::string lastBody_;
  std::vector<std::string> lastSegments_;
  uint32_t lastPeer_ = 0;
};

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = PickFreePort();
    server_ = RefPtr<HttpServer>(new HttpServer(0, port_), false);
    server_->RegisterHandler("/probe", probe_.Get());
    server_->SetRequestIdleTimeoutMs(idleTimeoutMs_);
    ASSERT_EQ(0, server_->Start());
  }
  void TearDown() override {
    probe_->Unblock();
    if (server_) server_->Stop();
  }

  // Sends the request and reads until the server closes.
  std::string Exchange(const std::string& request) {
    LoopbackPeer peer;
    EXPECT_TRUE(peer.Connect(port_));
    EXPECT_TRUE(peer.Send(request));
    return peer.ReceiveText(1 << 24, 10000);
  }

  uint32_t idleTimeoutMs_ = HttpServer::kDefaultRequestIdleTimeoutMs;
  uint16_t port_ = 0;
  RefPtr<ProbeHandler> probe_{new ProbeHandler(), false};
  RefPtr<HttpServer> server_;
};

// True for "Sun, 06 Nov 1994 08:49:37 GMT" with English names.
bool IsHttpDate(const std::string& text) {
  static const std::string days = "Sun,Mon,Tue,Wed,Thu,Fri,Sat";
  static const std::string months = "Jan,Feb,Mar,Apr,May,Jun,Jul,Aug,Sep,Oct,Nov,Dec";
  const std::string shape = "Aaa, 00 Aaa 0000 00:00:00 GMT";
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < shape.size(); i++) {
    if (shape[i] == '0' ? !isdigit(static_cast<unsigned char>(text[i])) : shape[i] != 'A' && shape[i] != 'a' && shape[i] != text[i])
      return false;
  }
  return days.find(text.substr(0, 3)) % 4 == 0 && months.find(text.substr(8, 3)) % 4 == 0;
}

// The 200 head without its two time lines, which must name the same instant
// in English around the Server line.
std::string CheckAndStripDates(const std::string& response) {
  const size_t date = response.find("\r\nDate: ");
  const size_t dateEnd = response.find("\r\n", date + 2);
  const std::string server = "\r\nServer: Talvenor 2.0\r\nLast-Modified: ";
  if (date == std::string::npos || dateEnd == std::string::npos || response.compare(dateEnd, server.size(), server) != 0) {
    ADD_FAILURE() << response.substr(0, 300);
    return response;
  }
  const std::string stamp = response.substr(date + 8, dateEnd - date - 8);
  EXPECT_TRUE(IsHttpDate(stamp)) << stamp;
  const size_t modified = dateEnd + server.size();
  EXPECT_EQ(0, response.compare(modified, stamp.size() + 2, stamp + "\r\n"));
  return response.substr(0, date) + "\r\nServer: Talvenor 2.0" + response.substr(modified + stamp.size());
}

TEST_F(HttpServerTest, AnswersHandledAndUnhandledTargetsWithExactBytes) {
  test::ScopedCapture log;

  // Handled: status line, the handler's headers, Date, Server,
  // Last-Modified, Connection, Content-Length, then the body; closed after.
  std::string response = Exchange("GET /probe/x/y?a=1 HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(
      "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nServer: Talvenor 2.0\r\nConnection: close\r\n"
      "Content-Length: 5\r\n\r\nabcde",
      CheckAndStripDates(response));
  EXPECT_EQ((std::vector<std::string>{"x", "y"}), probe_->LastSegments());
  EXPECT_TRUE(log->Has(Log_Information, "Found handler for requestUri = '/probe/x/y?a=1'  rootUri = '/probe' "
                                        "contentLength = 0"));

  // Unhandled targets and OPTIONS: the fixed 95 bytes, nothing more.
  const std::string notFound(HttpServer::kNotFoundResponse, HttpServer::kNotFoundResponseLength);
  ASSERT_EQ(95u, notFound.size());
  EXPECT_EQ(notFound, Exchange("GET /favicon.ico HTTP/1.1\r\n\r\n"));
  EXPECT_TRUE(log->Has(Log_Warning,
                       "No handler found for requestUri = '/favicon.ico'  rootUri = '', using file not found handler."));
  EXPECT_TRUE(log->Has(Log_Severe, "Should not get here... returning 404 for requestUri = '/favicon.ico'  rootUri = ''"));
  EXPECT_EQ(notFound, Exchange("OPTIONS /probe HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(notFound, Exchange("GET /probex HTTP/1.1\r\n\r\n"));

  // A declining handler leads to the same page.
  probe_->decline_ = true;
  EXPECT_EQ(notFound, Exchange("GET /probe/no HTTP/1.1\r\n\r\n"));
  EXPECT_TRUE(log->Has(Log_Warning, "Handler did not handle call for requestUri = '/probe/no'  rootUri = '/probe', "
                                    "using file not found handler."));
  probe_->decline_ = false;

  // A body far larger than one socket write arrives whole.
  probe_->size_ = 3 * 1024 * 1024 + 7;
  response = Exchange("GET /probe HTTP/1.1\r\n\r\n");
  const size_t bodyAt = response.find("\r\n\r\n");
  ASSERT_NE(std::string::npos, bodyAt);
  EXPECT_NE(std::string::npos, response.find("Content-Length: 3145735\r\n"));
  EXPECT_EQ(3145735u, response.size() - bodyAt - 4);
  EXPECT_EQ('a' + 3145734 % 26, response.back());

  EXPECT_TRUE(WaitUntil([&] { return server_->PendingRequestCount() == 0; }, 5000));
}

// HTTPS takes the raw transport's records apart: the handler sees the
// request and the client's address as over plain HTTP.
TEST(HttpsServerTest, AnswersOverTlsWithTheClientsAddress) {
  if (std::system("command -v curl >/dev/null 2>&1") != 0) GTEST_SKIP() << "curl is not installed";
  const uint16_t port = PickFreePort();
  const EncryptionStruct tls = test::TestCredentials::Get().Settings();
  RefPtr<HttpServer> server(new HttpServer(0, port, &tls), false);
  RefPtr<ProbeHandler> probe(new ProbeHandler(), false);
  server->RegisterHandler("/probe", probe.Get());
  ASSERT_EQ(0, server->Start());
  const std::string command =
      "timeout 30 curl -sk --max-time 20 https://127.0.0.1:" + std::to_string(port) + "/probe/tls";
  std::string body;
  if (FILE* out = popen(command.c_str(), "r")) {
    char buffer[256];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, out)) > 0;) body.append(buffer, n);
    pclose(out);
  }
  EXPECT_EQ("abcde", body);
  EXPECT_EQ((std::vector<std::string>{"tls"}), probe->LastSegments());
  EXPECT_EQ(0x7F000001u, probe->LastPeer());
  server->Stop();
}

// A client reads no body after the head of a HEAD answer: the 404 head is
// sent alone, its Content-Length still telling what a GET would get.
TEST_F(HttpServerTest, AHeadRequestGetsTheNotFoundHeadWithoutItsBody) {
  const std::string head = "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: 24\r\n\r\n";
  EXPECT_EQ(head, Exchange("HEAD /probe HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(head, Exchange("HEAD\t/favicon.ico HTTP/1.1\r\nHost: h\r\n\r\n"));
  // Only the method HEAD itself.
  EXPECT_EQ(head + "HTTP/1.1 404 Not Found\r\n", Exchange("HEADER /probe HTTP/1.1\r\n\r\n"));
  EXPECT_TRUE(WaitUntil([&] { return server_->PendingRequestCount() == 0; }, 5000));
}

TEST_F(HttpServerTest, PostWaitsForItsBodyOnlyWhenAHandlerWantsIt) {
  // 40 of 100 bytes: no answer until the rest comes.
  LoopbackPeer peer;
  ASSERT_TRUE(peer.Connect(port_));
  const std::string body(100, 'b');
  ASSERT_TRUE(peer.Send("POST /probe/up HTTP/1.1\r\nContent-Length: 100\r\nContent-Type: text/plain\r\n\r\n" +
                        body.substr(0, 40)));
  EXPECT_TRUE(peer.ReceiveFor(300).empty());
  EXPECT_EQ(0, probe_->Calls());
  ASSERT_TRUE(peer.Send(body.substr(40)));
  EXPECT_NE(std::string::npos, peer.ReceiveText(1 << 16).find("HTTP/1.1 200 OK\r\n"));
  EXPECT_EQ("POST", probe_->LastMethod());
  EXPECT_EQ(body, probe_->LastBody());

  // The same to an unregistered prefix: 404 right after the header block.
  LoopbackPeer other;
  ASSERT_TRUE(other.Connect(port_));
  ASSERT_TRUE(other.Send("POST /elsewhere HTTP/1.1\r\nContent-Length: 100\r\n\r\n" + body.substr(0, 40)));
  EXPECT_EQ(std::string(HttpServer::kNotFoundResponse), other.ReceiveText(1 << 16));
}

TEST_F(HttpServerTest, DroppedAndOversizedRequestsLeaveNothingBehind) {
  test::ScopedCapture log;
  // A multipart upload cut off halfway: its request and spool folder go
  // when the client disconnects.
  {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.Connect(port_));
    ASSERT_TRUE(peer.Send(
        "POST /probe HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=XY\r\nContent-Length: 100000\r\n\r\n"
        "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n\r\n" +
        std::string(5000, 'z')));
    ASSERT_TRUE(WaitUntil([&] { return server_->PendingRequestCount() == 1; }, 5000));
    ASSERT_TRUE(WaitUntil(
        [&] {
          std::error_code ec;
          return std::filesystem::exists(HttpServer::RequestSpoolRoot(), ec) &&
                 !std::filesystem::is_empty(HttpServer::RequestSpoolRoot(), ec);
        },
        5000));
  }
  EXPECT_TRUE(WaitUntil([&] { return server_->PendingRequestCount() == 0; }, 5000));
  EXPECT_TRUE(WaitUntil(
      [&] {
        std::error_code ec;
        return !std::filesystem::exists(HttpServer::RequestSpoolRoot(), ec) ||
               std::filesystem::is_empty(HttpServer::RequestSpoolRoot(), ec);
      },
      5000));
  EXPECT_EQ(0u, HttpServer::IUriHandler::Request::TotalSpooledBytes());

  // A header block past its cap: closed without an answer, a Warning logged.
  LoopbackPeer peer;
  ASSERT_TRUE(peer.Connect(port_));
  std::string flood = "GET /probe HTTP/1.1\r\n";
  while (flood.size() <= HttpServer::IUriHandler::Request::kMaxHeaderBytes) flood += "X-Pad: 0123456789abcdef\r\n";
  peer.Send(flood);
  EXPECT_TRUE(peer.WaitClosed(10000));
  EXPECT_TRUE(log->Has(Log_Warning, "Closing HTTP connection: request header block too large"));
  EXPECT_TRUE(WaitUntil([&] { return server_->PendingRequestCount() == 0; }, 5000));
  EXPECT_EQ(0, probe_->Calls());
}

class HttpServerIdleTest : public HttpServerTest {
 protected:
  HttpServerIdleTest() { idleTimeoutMs_ = 200; }
};

TEST_F(HttpServerIdleTest, SilentConnectionsAreClosedAndTheApiStaysUsable) {
  test::ScopedCapture log;
  // Silent from the start, and silent after half a request.
  std::vector<LoopbackPeer> silent(3);
  for (auto& peer : silent) ASSERT_TRUE(peer.Connect(port_));
  ASSERT_TRUE(silent[2].Send("GET /probe HTTP/1.1\r\nHost:"));
  for (auto& peer : silent) EXPECT_TRUE(peer.WaitClosed(10000));
  EXPECT_TRUE(log->Has(Log_Warning, "Closing HTTP connection: no request bytes for 200 ms"));
  EXPECT_TRUE(WaitUntil([&] { return server_->PendingRequestCount() == 0; }, 5000));

  // A handler that takes longer than the time-out is not cut off.
  probe_->Hold();
  LoopbackPeer peer;
  ASSERT_TRUE(peer.Connect(port_));
  ASSERT_TRUE(peer.Send("GET /probe HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(probe_->WaitEntered(1));
  EXPECT_TRUE(peer.ReceiveFor(600).empty());
  probe_->Unblock();
  EXPECT_NE(std::string::npos, peer.ReceiveText(1 << 16).find("abcde"));
}

class HttpServerLimitsTest : public HttpServerTest {
 protected:
  void SetUp() override {
    port_ = PickFreePort();
    server_ = RefPtr<HttpServer>(new HttpServer(0, port_), false);
    server_->RegisterHandler("/probe", probe_.Get());
    HttpServer::RequestTimeLimits limits;
    limits.headMs = 300;
    limits.bodyGraceMs = 300;
    server_->SetRequestTimeLimits(limits);
    ASSERT_EQ(0, server_->Start());
  }

  // Sends one byte of `text` at a time, paced by waiting for the close,
  // until the server closes; the milliseconds it took, or -1.
  int TrickleUntilClosed(LoopbackPeer& peer, const std::string& text) {
    const auto start = std::chrono::steady_clock::now();
    for (char c : text) {
      if (!peer.Send(&c, 1) || peer.WaitClosed(50)) {
        return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count());
      }
    }
    return -1;
  }
};

// Bytes that keep coming, too slowly, do not hold a connection for ever: a
// header block must be in within its time, and a body must keep its pace.
TEST_F(HttpServerLimitsTest, ASlowlorisPeerIsClosedOnTime) {
  test::ScopedCapture log;
  LoopbackPeer head;
  ASSERT_TRUE(head.Connect(port_));
  const int headMs = TrickleUntilClosed(head, "GET /probe HTTP/1.1\r\nX-Slow: " + std::string(1000, 'a'));
  EXPECT_GE(headMs, 250);
  EXPECT_TRUE(log->Has(Log_Warning, "Closing HTTP connection: request head not complete within 300 ms"));

  LoopbackPeer body;
  ASSERT_TRUE(body.Connect(port_));
  ASSERT_TRUE(body.Send("POST /probe HTTP/1.1\r\nContent-Length: 100000\r\n\r\n"));
  EXPECT_GE(TrickleUntilClosed(body, std::string(1000, 'b')), 250);
  EXPECT_TRUE(log->Has(Log_Warning, "Closing HTTP connection: request body slower than 1024 bytes/s"));
  EXPECT_TRUE(WaitUntil([&] { return server_->PendingRequestCount() == 0; }, 5000));
  EXPECT_EQ(0, probe_->Calls());
  // A request that arrives in time is answered.
  EXPECT_NE(std::string::npos, Exchange("GET /probe HTTP/1.1\r\n\r\n").find("200 OK"));
}

// 100 connections that never finish a request hold every slot: a new
// client is still answered, and one of them made room.
TEST_F(HttpServerTest, ASlotIsFreedForANewClientWhenAllAreHeld) {
  test::ScopedCapture log;
  platform::EnsureOpenFileLimit(4096, nullptr);
  std::vector<LoopbackPeer> held(100);
  for (auto& peer : held) {
    ASSERT_TRUE(peer.Connect(port_));
    ASSERT_TRUE(peer.Send("G"));
  }
  ASSERT_TRUE(WaitUntil([&] { return server_->PendingRequestCount() == 100; }, 10000)) << server_->PendingRequestCount();
  EXPECT_NE(std::string::npos, Exchange("GET /probe HTTP/1.1\r\n\r\n").find("200 OK"));
  EXPECT_TRUE(log->Contains("All 100 connection slots are held: closing connection"));
  int closed = 0;
  for (auto& peer : held) closed += peer.WaitClosed(0) ? 1 : 0;
  EXPECT_GE(closed, 1);
  EXPECT_LE(closed, 2);
  // Peers that come together are all served, and none of them costs more
  // than one held connection.
  std::vector<std::thread> clients;
  std::atomic<int> answered{0};
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back([&] {
      if (Exchange("GET /probe HTTP/1.1\r\n\r\n").find("200 OK") != std::string::npos) answered++;
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(4, answered.load());
  closed = 0;
  for (auto& peer : held) closed += peer.WaitClosed(0) ? 1 : 0;
  EXPECT_LE(closed, 6);
}

// A response larger than one transport write may carry arrives whole, in
// order (the slice here is small; the transport's limit is 100 MiB).
TEST_F(HttpServerTest, ALargeDocumentArrivesWhole) {
  server_->SetResponseSliceBytes(1 << 20);
  const size_t size = (7 << 19) + 123;
  probe_->size_ = size;
  const std::string response = Exchange("GET /probe HTTP/1.1\r\n\r\n");
  const size_t bodyAt = response.find("\r\n\r\n");
  ASSERT_NE(std::string::npos, bodyAt);
  EXPECT_NE(std::string::npos, response.find("Content-Length: " + std::to_string(size) + "\r\n"));
  const std::string body = response.substr(bodyAt + 4);
  ASSERT_EQ(size, body.size());
  for (size_t i = 0; i < body.size(); ++i) ASSERT_EQ(static_cast<char>('a' + i % 26), body[i]) << i;
}

// Clients that do not read their answers hold up nobody: the connections
// are served by a few shared threads, so a full socket must never be waited
// on. A stalled answer resumes when its reader does, and one whose peer has
// finished sending still arrives whole.
TEST_F(HttpServerTest, ClientsThatStopReadingHoldUpNobody) {
  const size_t size = 8u << 20;
  probe_->size_ = size;
  RefPtr<ProbeHandler> small(new ProbeHandler(), false);
  server_->RegisterHandler("/small", small.Get());
  std::vector<LoopbackPeer> stalled(8);
  for (size_t i = 0; i < stalled.size(); ++i) {
    ASSERT_TRUE(stalled[i].Connect(port_, 5000, 4096));
    ASSERT_TRUE(stalled[i].Send("GET /probe HTTP/1.1\r\n\r\n"));
    if (i % 2 == 1) stalled[i].ShutdownWrite();
  }
  ASSERT_TRUE(probe_->WaitEntered(static_cast<int>(stalled.size())));
  for (int i = 0; i < 16; ++i) {
    EXPECT_NE(std::string::npos, Exchange("GET /small HTTP/1.1\r\n\r\n").find("\r\n\r\nabcde")) << i;
  }
  // The last two never read: the server stops with their answers queued.
  for (size_t i = 0; i + 2 < stalled.size(); ++i) {
    LoopbackPeer& peer = stalled[i];
    const std::string response = peer.ReceiveText(size + 4096, 20000);
    const size_t bodyAt = response.find("\r\n\r\n");
    ASSERT_NE(std::string::npos, bodyAt);
    EXPECT_EQ(size, response.size() - bodyAt - 4);
    EXPECT_TRUE(peer.WaitClosed(5000));
  }
}

// Serves one shared document of 8 MiB to every caller without copying it.
class SharedDocument final : public HttpServer::IUriHandler, public IRefCountImpl {
 public:
  bool HandleRequest(Request*, IDataStream* body, std::string* headers) override {
    calls++;
    *headers = "Content-Type: text/plain\r\n";
    return Succeeded(AppendSharedBytes(body, bytes));
  }
  std::shared_ptr<const std::string> bytes = std::make_shared<const std::string>(8u << 20, 'x');
  std::atomic<int> calls{0};
};

// Clients that never read their answers cannot keep every slot until the
// answers time out: once every request is complete, the answer that has
// stalled longest makes room for a new client.
TEST_F(HttpServerTest, ClientsThatNeverReadCannotKeepEverySlot) {
  test::ScopedCapture log;
  platform::EnsureOpenFileLimit(4096, nullptr);
  RefPtr<SharedDocument> shared(new SharedDocument(), false);
  server_->RegisterHandler("/shared", shared.Get());
  std::vector<LoopbackPeer> stalled(100);
  for (auto& peer : stalled) {
    ASSERT_TRUE(peer.Connect(port_, 5000, 4096));
    ASSERT_TRUE(peer.Send("GET /shared HTTP/1.1\r\n\r\n"));
  }
  ASSERT_TRUE(WaitUntil([&] { return shared->calls.load() == 100; }, 10000));
  // Well inside the 10 s an answer may take.
  LoopbackPeer fresh;
  ASSERT_TRUE(fresh.Connect(port_));
  ASSERT_TRUE(fresh.Send("GET /probe HTTP/1.1\r\n\r\n"));
  EXPECT_NE(std::string::npos, fresh.ReceiveText(1 << 16, 5000).find("\r\n\r\nabcde"));
  EXPECT_TRUE(log->Contains("All 100 connection slots are held: closing connection"));
}

// Reads until the server ends the stream; the error that ended it (0 for an
// orderly end, ECONNRESET for a reset, ETIMEDOUT past the deadline).
int ReadToEnd(LoopbackPeer& peer, std::string* out, int timeoutMs = 20000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || platform::WaitReadable(peer.Fd(), static_cast<int>(left.count())) != 1) return ETIMEDOUT;
    const ssize_t n = recv(peer.Fd(), buffer, sizeof(buffer), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    out->append(buffer, static_cast<size_t>(n));
  }
}

// A client that sends more after its request (a second request, bytes past
// its body, a chunked body) while its answer is on the way still gets all
// of it and then an orderly end: the server does not close with that input
// unread, which would reset the connection and drop the rest of the answer.
TEST_F(HttpServerTest, BytesAfterTheRequestDoNotCutTheAnswer) {
  const size_t size = 8u << 20;
  probe_->size_ = size;
  const std::string requests[] = {"GET /probe HTTP/1.1\r\n\r\n",
                                  "POST /probe HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde",
                                  "POST /probe HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"};
  const std::string after[] = {"GET /probe HTTP/1.1\r\n\r\n", "12345", "5\r\nhello\r\n0\r\n\r\n"};
  for (int i = 0; i < 3; ++i) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.Connect(port_, 5000, 4096));
    ASSERT_TRUE(peer.Send(requests[i]));
    // Read by then: the extra bytes come after the request.
    ASSERT_TRUE(probe_->WaitEntered(i + 1));
    ASSERT_TRUE(peer.Send(after[i]));
    std::string response;
    EXPECT_EQ(0, ReadToEnd(peer, &response)) << i;
    const size_t bodyAt = response.find("\r\n\r\n");
    ASSERT_NE(std::string::npos, bodyAt) << i;
    EXPECT_EQ(size, response.size() - bodyAt - 4) << i;
  }
  EXPECT_EQ(3, probe_->Calls());
}

// Clients that never read hold every slot and more keep coming: each slot
// that turns over goes to one of them, never to a fresh client whose
// request is there but not read yet.
TEST_F(HttpServerTest, ANeverReadingFloodDoesNotCostAFreshClientItsAnswer) {
  platform::EnsureOpenFileLimit(4096, nullptr);
  RefPtr<SharedDocument> shared(new SharedDocument(), false);
  server_->RegisterHandler("/shared", shared.Get());
  std::vector<LoopbackPeer> flood;
  auto flood_more = [&](int count) {
    for (int i = 0; i < count; ++i) {
      flood.emplace_back();
      ASSERT_TRUE(flood.back().Connect(port_, 5000, 4096));
      ASSERT_TRUE(flood.back().Send("GET /shared HTTP/1.1\r\n\r\n"));
    }
  };
  flood_more(100);
  ASSERT_TRUE(WaitUntil([&] { return shared->calls.load() == 100; }, 10000));
  for (int round = 0; round < 5; ++round) {
    LoopbackPeer fresh;
    ASSERT_TRUE(fresh.Connect(port_));
    ASSERT_TRUE(fresh.Send("GET /probe HTTP/1.1\r\n\r\n"));
    flood_more(10);
    std::string response;
    EXPECT_EQ(0, ReadToEnd(fresh, &response)) << round;
    EXPECT_NE(std::string::npos, response.find("\r\n\r\nabcde")) << round;
  }
}

// Stopping does not wait for answers that clients do not take: a streamed
// part still going out to a client that never reads is dropped at once,
// not given up after its write time-out.
TEST_F(HttpServerTest, StopDropsAnswersThatClientsDoNotTake) {
  class Streamer final : public HttpServer::IUriHandler, public IRefCountImpl {
   public:
    class Parts final : public Continuation, public IRefCountImpl {};
    bool HandleStreamingRequest(Request*, IDataStream* response, Continuation** continuation) override {
      const std::string part(8u << 20, 's');
      response->Write(part.data(), static_cast<uint32_t>(part.size()));
      if (!*continuation) *continuation = new Parts();
      return true;
    }
  };
  test::ScopedCapture log;
  RefPtr<Streamer> streamer(new Streamer(), false);
  server_->RegisterHandler("/stream", streamer.Get());
  LoopbackPeer peer;
  ASSERT_TRUE(peer.Connect(port_, 5000, 4096));
  ASSERT_TRUE(peer.Send("GET /stream HTTP/1.1\r\n\r\n"));
  // The first part is on its way and waits for room.
  ASSERT_FALSE(peer.ReceiveText(1, 10000).empty());
  EXPECT_EQ(0, server_->Stop());
  EXPECT_FALSE(log->Contains("Socket write failure"));
  EXPECT_TRUE(peer.WaitClosed(10000));
}

// A handler that takes its time holds up no other request, and its own
// answer still comes once it is done.
TEST_F(HttpServerTest, ASlowHandlerHoldsUpNoOtherRequest) {
  RefPtr<ProbeHandler> small(new ProbeHandler(), false);
  server_->RegisterHandler("/small", small.Get());
  probe_->Hold();
  LoopbackPeer slow;
  ASSERT_TRUE(slow.Connect(port_));
  ASSERT_TRUE(slow.Send("GET /probe HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(probe_->WaitEntered(1));
  for (int i = 0; i < 16; ++i) {
    EXPECT_NE(std::string::npos, Exchange("GET /small HTTP/1.1\r\n\r\n").find("\r\n\r\nabcde")) << i;
  }
  probe_->Unblock();
  EXPECT_NE(std::string::npos, slow.ReceiveText(1 << 16, 10000).find("\r\n\r\nabcde"));
}

// A streaming handler's parts go out in order, each waited for, also when
// they are far larger than what the socket holds.
TEST_F(HttpServerTest, AStreamedAnswerArrivesInOrder) {
  constexpr int kParts = 6;
  constexpr size_t kPartBytes = 512u << 10;
  class Streamer final : public HttpServer::IUriHandler, public IRefCountImpl {
   public:
    class Parts final : public Continuation, public IRefCountImpl {
     public:
      int sent = 0;
    };
    bool HandleStreamingRequest(Request*, IDataStream* response, Continuation** continuation) override {
      if (!*continuation) {
        const std::string head =
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kParts * kPartBytes) + "\r\n\r\n";
        response->Write(head.data(), static_cast<uint32_t>(head.size()));
        *continuation = new Parts();
        return true;
      }
      auto* parts = static_cast<Parts*>(*continuation);
      const std::string part(kPartBytes, static_cast<char>('A' + parts->sent));
      response->Write(part.data(), static_cast<uint32_t>(part.size()));
      parts->done = ++parts->sent == kParts;
      return true;
    }
  };
  RefPtr<Streamer> streamer(new Streamer(), false);
  server_->RegisterHandler("/stream", streamer.Get());
  LoopbackPeer peer;
  ASSERT_TRUE(peer.Connect(port_, 5000, 4096));
  ASSERT_TRUE(peer.Send("GET /stream HTTP/1.1\r\n\r\n"));
  const std::string response = peer.ReceiveText(kParts * kPartBytes + 4096, 20000);
  const size_t bodyAt = response.find("\r\n\r\n");
  ASSERT_NE(std::string::npos, bodyAt);
  const std::string body = response.substr(bodyAt + 4);
  ASSERT_EQ(kParts * kPartBytes, body.size());
  for (int i = 0; i < kParts; ++i) {
    EXPECT_EQ(0, body.compare(i * kPartBytes, kPartBytes, std::string(kPartBytes, static_cast<char>('A' + i)))) << i;
  }
}

TEST_F(HttpServerTest, StopsWhileClientsAreBusyAndCanBeStoppedTwice) {
  std::atomic<bool> run{true};
  std::vector<std::thread> clients;
  for (int i = 0; i < 4; i++) {
    clients.emplace_back([&] {
      while (run) {
        LoopbackPeer peer;
        if (!peer.Connect(port_, 1000)) continue;
        peer.Send("GET /probe HTTP/1.1\r\n\r\n");
        peer.ReceiveText(1 << 16, 2000);
      }
    });
  }
  EXPECT_TRUE(WaitUntil([&] { return probe_->Calls() >= 20; }, 20000));
  // A handler in progress while the server stops: Stop waits for its
  // connection, and nothing dead-locks.
  probe_->Hold();
  ASSERT_TRUE(probe_->WaitEntered(probe_->Calls() + 1));
  std::thread stopper([&] { server_->Stop(); });
  probe_->Unblock();
  stopper.join();
  run = false;
  for (auto& t : clients) t.join();
  EXPECT_EQ(0u, server_->PendingRequestCount());
  EXPECT_EQ(0, server_->Stop());
  LoopbackPeer late;
  EXPECT_FALSE(late.Connect(port_, 500));
}

TEST_F(HttpServerTest, ABusyPortFailsStartAndTheFirstServerKeepsAnswering) {
  test::ScopedCapture log;
  RefPtr<HttpServer> second(new HttpServer(0, port_), false);
  EXPECT_LT(second->Start(), 0);
  EXPECT_TRUE(log->Has(Log_Severe, "Unabled to initialize transport server object."));
  EXPECT_EQ(0, second->Stop());
  EXPECT_NE(std::string::npos, Exchange("GET /probe HTTP/1.1\r\n\r\n").find("abcde"));
}

}  // namespace
}  // namespace corvane
