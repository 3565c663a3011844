#include "HttpServer.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <vector>

#include "CrashLog.h"
#include "DataStream.h"
#include "Directory.h"
#include "HttpConnections.h"
#include "HttpRequest.h"
#include "HttpServerLog.h"
#include "Locks.h"
#include "Logger.h"
#include "Result.h"
#include "StringUtils.h"
#include "TransportFrames.h"

#define HTTP_SERVER_FUNCTION(name) "corvane::HttpServer::" name


namespace corvane {

namespace {

std::atomic<bool> g_spoolCleared{false};

constexpr char kOnDataReady[] = HTTP_SERVER_FUNCTION("OnDataReady");
constexpr char kStart[] = HTTP_SERVER_FUNCTION("Start");

int64_t SteadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Logged targets are cut: a target may be as long as the request line allows.
bool Quiet(const std::string& uri) { return uri.find("splashdata") != std::string::npos; }

// English names whatever the locale: HTTP dates are not localised text.
constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A HEAD is answered with the head alone: a body after it would be read as
// the start of a next answer.
// The page's body is its 24-byte status line.
constexpr size_t kNotFoundHeadLength = HttpServer::kNotFoundResponseLength - 24;

// HEAD is not among the methods a request parses, so its line is read here.
bool IsHead(const HttpServer::IUriHandler::Request& request) {
  const std::string& text = request.GetHeaderText();
  const size_t at = text.find_first_not_of(" \t\r\n\v\f");
  return at != std::string::npos && text.compare(at, 4, "HEAD") == 0 && at + 4 < text.size() &&
         std::isspace(static_cast<unsigned char>(text[at + 4]));
}

}  // namespace

bool HttpServer::IUriHandler::HandleRequest(Request* /*request*/, IDataStream* body, std::string* headers) {
  if (body) body->Write(kDefaultHandlerBody, sizeof(kDefaultHandlerBody) - 1);
  if (headers) *headers = kDefaultHandlerHeaders;
  return true;
}

bool HttpServer::IUriHandler::HandleStreamingRequest(Request* /*request*/, IDataStream* /*response*/,
                                                     Continuation** /*continuation*/) {
  return false;
}

// The connections' receiver and slot chooser and the idle timer's callback;
// lives as long as the server, so a delivery, a tick or a choice never
// outlives what it calls.
class HttpServer::Hooks final : public IHttpReceiver, public ITimer::ITimerCallback, public IListenerSlots::IChooser {
 public:
  explicit Hooks(HttpServer* server) : server_(server) {}
  void OnBytes(const UUID& connectionId, uint32_t peerIpv4, uint32_t localIpv4, std::string_view bytes) override {
    server_->ReceiveBytes(connectionId, peerIpv4, localIpv4, bytes);
  }
  void OnConnectionEvent(const UUID& connectionId, int event) override { server_->ReceiveEvent(connectionId, event); }
  void TimerCallback() override { server_->CloseIdleConnections(); }
  bool ChooseConnectionToClose(UUID* connectionId) override { return server_->ChooseConnectionToClose(connectionId); }

 private:
  HttpServer* const server_;
};

HttpServer::HttpServer(uint32_t bindAddress, uint16_t port, const EncryptionStruct* tls)
    : bindAddress_(bindAddress), port_(port), hooks_(new Hooks(this)) {
  CRASH_LOG_GUARD(HTTP_SERVER_FUNCTION("HttpServer"), [&] {
    if (tls) tls_.reset(new EncryptionStruct(*tls));
    if (!g_spoolCleared.exchange(true)) {
      std::string root = RequestSpoolRoot();
      if (IsDirectory(root)) RemoveDirectoryTree(root);
    }
  });
}

HttpServer::~HttpServer() { Stop(); }

void HttpServer::SetRequestIdleTimeoutMs(uint32_t timeoutMs) {
  CheckedLock hold(lock_);
  limits_.idleMs = timeoutMs;
}

void HttpServer::SetRequestTimeLimits(const RequestTimeLimits& limits) {
  CheckedLock hold(lock_);
  limits_ = limits;
}

int HttpServer::Start() {
  return CRASH_LOG_GUARD(kStart, [&]() -> int {
    RefPtr<IHttpConnections> connections;
    int result = tls_ ? CreateTransportHttpConnections(bindAddress_, port_, *tls_, connections.Receive())
                      : CreateEventHttpConnections(bindAddress_, port_, connections.Receive());
    if (Failed(result) || !connections) {
      LogRecord record(Log_Severe, 0, http_log::kSourceFile, __LINE__, kStart);
      return record.ReturnResult(Failed(result) ? result : Result_Fail, "Unabled to create transport server object");
    }
    RequestTimeLimits limits;
    {
      CheckedLock hold(lock_);
      if (connections_) return static_cast<int>(Result_AlreadyInitialized);
      // Requests of an earlier run keep the flag they were given.
      stopping_ = std::make_shared<std::atomic<bool>>(false);
      // Published before the first connection can be accepted: its chunks
      // need the connections to be answered.
      connections_ = connections;
      limits = limits_;
    }
    result = connections->Open(hooks_.get(), hooks_.get());
    if (Failed(result)) {
      Stop();
      LogRecord record(Log_Severe, 0, http_log::kSourceFile, __LINE__, kStart);
      return record.ReturnResult(result, "Unabled to initialize transport server object.");
    }
    RefPtr<ITimer> timer;
    uint32_t shortest = 0;
    for (uint32_t limit : {limits.idleMs, limits.headMs, limits.minBodyBytesPerSecond != 0 ? limits.bodyGraceMs : 0u}) {
      if (limit != 0 && (shortest == 0 || limit < shortest)) shortest = limit;
    }
    if (limits.minBodyBytesPerSecond != 0 && shortest == 0) shortest = 1000;
    if (shortest != 0 && Succeeded(CreateTimer(timer.Receive()))) {
      const uint32_t period = std::clamp<uint32_t>(shortest / 4, 10, 1000);
      timer->Start(period, hooks_.get(), period);
      CheckedLock hold(lock_);
      if (connections_.Get() == connections.Get()) idleTimer_ = std::move(timer);
    }
    // A timer that lost a race with Stop is destroyed here, outside the lock.
    return static_cast<int>(Result_Ok);
  });
}

int HttpServer::Stop() {
  return CRASH_LOG_GUARD(HTTP_SERVER_FUNCTION("Stop"), [&]() -> int {
    RefPtr<IHttpConnections> connections;
    RefPtr<ITimer> timer;
    {
      CheckedLock hold(lock_);
      connections = std::move(connections_);
      timer = std::move(idleTimer_);
      stopping_->store(true);
    }
    // Outside the lock: the timer waits for a running tick, and the
    // connections' tear-down joins threads that may be waiting on the lock
    // in OnDataReady.
    timer.Reset();
    if (connections) connections->Shutdown();
    std::map<UUID, RefPtr<IUriHandler::Request>> dropped;
    {
      CheckedLock hold(lock_);
      dropped.swap(requests_);
      arrivals_.clear();
      namedToClose_.clear();
    }
    return static_cast<int>(Result_Ok);
  });
}

RefPtr<IHttpConnections> HttpServer::CurrentConnections() {
  CheckedLock hold(lock_);
  return connections_;
}

size_t HttpServer::PendingRequestCount() {
  CheckedLock hold(lock_);
  return requests_.size();
}

void HttpServer::Forget(const UUID& connectionId) {
  RefPtr<IUriHandler::Request> request;
  {
    CheckedLock hold(lock_);
    auto it = requests_.find(connectionId);
    if (it != requests_.end()) {
      request = std::move(it->second);
      requests_.erase(it);
    }
    arrivals_.erase(connectionId);
    namedToClose_.erase(connectionId);
  }
}

void HttpServer::CloseAndForget(const UUID& connectionId) {
  if (RefPtr<IHttpConnections> connections = CurrentConnections()) connections->Close(connectionId);
  Forget(connectionId);
}

void HttpServer::CloseIdleConnections() {
  enum Why { kIdle, kHead, kBody };
  std::vector<std::pair<UUID, Why>> late;
  RefPtr<IHttpConnections> connections;
  RequestTimeLimits limits;
  {
    CheckedLock hold(lock_);
    limits = limits_;
    const int64_t now = SteadyNowMs();
    for (auto it = arrivals_.begin(); it != arrivals_.end();) {
      const Arrival& a = it->second;
      Why why;
      if (limits.idleMs != 0 && now - a.lastBytesMs >= static_cast<int64_t>(limits.idleMs)) {
        why = kIdle;
      } else if (limits.headMs != 0 && a.firstByteMs != 0 && a.headDoneMs == 0 &&
                 now - a.firstByteMs >= static_cast<int64_t>(limits.headMs)) {
        why = kHead;
      } else if (limits.minBodyBytesPerSecond != 0 && a.headDoneMs != 0 &&
                 now - a.headDoneMs > static_cast<int64_t>(limits.bodyGraceMs) &&
                 (a.bytes - a.headBytes) * 1000 <
                     static_cast<uint64_t>(now - a.headDoneMs - limits.bodyGraceMs) * limits.minBodyBytesPerSecond) {
        why = kBody;
      } else {
        ++it;
        continue;
      }
      late.emplace_back(it->first, why);
      it = arrivals_.erase(it);
    }
    connections = connections_;
  }
  for (const auto& [id, why] : late) {
    if (why == kIdle) {
      HTTP_SERVER_LOG(kOnDataReady, Log_Warning, "Closing HTTP connection: no request bytes for %u ms", limits.idleMs);
    } else if (why == kHead) {
      HTTP_SERVER_LOG(kOnDataReady, Log_Warning, "Closing HTTP connection: request head not complete within %u ms",
                      limits.headMs);
    } else {
      HTTP_SERVER_LOG(kOnDataReady, Log_Warning, "Closing HTTP connection: request body slower than %u bytes/s",
                      limits.minBodyBytesPerSecond);
    }
    if (connections) connections->Close(id);
    Forget(id);
  }
}

bool HttpServer::ChooseConnectionToClose(UUID* connectionId) {
  CheckedLock hold(lock_);
  const Arrival* oldest = nullptr;
  for (const auto& entry : arrivals_) {
    // One named before is on its way out: naming it again would make no
    // room for the next peer that waits.
    if (namedToClose_.count(entry.first) != 0) continue;
    if (!oldest || entry.second.connectedMs < oldest->connectedMs) {
      oldest = &entry.second;
      *connectionId = entry.first;
    }
  }
  if (oldest) namedToClose_.insert(*connectionId);
  return oldest != nullptr;
}

void HttpServer::ReceiveEvent(const UUID& connectionId, int event) {
  CRASH_LOG_GUARD(HTTP_SERVER_FUNCTION("OnEvent"), [&]() -> int {
    if (event == TransportEvent_Connected) {
      // A connection that never sends a byte is as idle as one that stops.
      CheckedLock hold(lock_);
      if (connections_) {
        Arrival& arrival = arrivals_[connectionId];
        arrival.connectedMs = arrival.lastBytesMs = SteadyNowMs();
      }
    } else if (event == TransportEvent_Disconnected) {
      // Nobody will answer a dropped connection: its request and spool
      // folder would otherwise stay until the server is destroyed.
      Forget(connectionId);
    }
    return static_cast<int>(Result_Ok);
  });
}

void HttpServer::ReceiveBytes(const UUID& connectionId, uint32_t peerIpv4, uint32_t localIpv4, std::string_view bytes) {
  CRASH_LOG_GUARD(kOnDataReady, [&]() -> int {
    // The lock covers only the map: appending may spool to disk, and other
    // connections' chunks must not wait for that.
    const uint64_t chunkBytes = bytes.size();
    RefPtr<IUriHandler::Request> request;
    bool headBefore;
    {
      CheckedLock hold(lock_);
      if (!connections_) return static_cast<int>(Result_Ok);
      RefPtr<IUriHandler::Request>& slot = requests_[connectionId];
      if (!slot) {
        slot = RefPtr<IUriHandler::Request>(new IUriHandler::Request(), false);
        slot->SetCancelFlag(stopping_);
      }
      request = slot;
      headBefore = request->HeadersParsed();
      // Named to make room while its bytes were still unread, and passed
      // over for that: it may be named again once it falls silent.
      namedToClose_.erase(connectionId);
      // A connection whose request completed is no longer watched.
      auto arrival = arrivals_.find(connectionId);
      if (arrival == arrivals_.end() && !headBefore) arrival = arrivals_.try_emplace(connectionId).first;
      if (arrival != arrivals_.end()) {
        Arrival& a = arrival->second;
        a.lastBytesMs = SteadyNowMs();
        if (a.connectedMs == 0) a.connectedMs = a.lastBytesMs;
        if (a.firstByteMs == 0) a.firstByteMs = a.lastBytesMs;
        a.bytes += chunkBytes;
      }
    }
    if (Failed(request->AppendBytes(bytes)) && request->IsRejected()) {
      CloseAndForget(connectionId);
      return static_cast<int>(Result_Ok);
    }
    if (!request->HeadersParsed()) return static_cast<int>(Result_Ok);
    if (!headBefore && !request->IsComplete()) {
      // The body's pace is measured from here.
      CheckedLock hold(lock_);
      auto arrival = arrivals_.find(connectionId);
      if (arrival != arrivals_.end()) {
        arrival->second.headDoneMs = SteadyNowMs();
        arrival->second.headBytes = arrival->second.bytes;
      }
    }

    const std::string uri = request->GetRequestUri();
    RefPtr<IUriHandler> handler;
    std::string rootUri;
    LocateHandler(uri, handler.Receive(), &rootUri);
    request->SetAddresses(peerIpv4, localIpv4);

    if (handler) {
      if (!request->IsComplete()) return static_cast<int>(Result_Ok);
      {
        // The handler's own time is not the client's silence.
        CheckedLock hold(lock_);
        arrivals_.erase(connectionId);
      }
      if (!Quiet(uri)) {
        int contentLength = 0;
        request->GetHeaderInt("Content-Length", &contentLength);
        HTTP_SERVER_LOG(kOnDataReady, Log_Information, "Found handler for requestUri = '%s'  rootUri = '%s' contentLength = %d",
                   ForLog(uri).c_str(), rootUri.c_str(), contentLength);
      }
      request->SetRootUri(rootUri);
      if (CallHandler(connectionId, handler.Get(), request.Get())) {
        Forget(connectionId);
        return static_cast<int>(Result_Ok);
      }
      HTTP_SERVER_LOG(kOnDataReady, Log_Warning,
                 "Handler did not handle call for requestUri = '%s'  rootUri = '%s', using file not found handler.",
                 ForLog(uri).c_str(), rootUri.c_str());
    } else {
      HTTP_SERVER_LOG(kOnDataReady, Log_Warning,
                 "No handler found for requestUri = '%s'  rootUri = '%s', using file not found handler.",
                 ForLog(uri).c_str(), rootUri.c_str());
    }

    RefPtr<IUriHandler> fallback;
    if (Succeeded(LocateHandler(kFileNotFoundKey, fallback.Receive(), nullptr)) &&
        CallHandler(connectionId, fallback.Get(), request.Get())) {
      Forget(connectionId);
      return static_cast<int>(Result_Ok);
    }
    return SendNotFound(connectionId, uri, rootUri, IsHead(*request));
  });
}

int HttpServer::SendNotFound(const UUID& connectionId, const std::string& uri, const std::string& rootUri,
                             bool headOnly) {
  RefPtr<IDataStream> response;
  if (Failed(CreateDataStream(response.Receive())) || !response) {
    LogRecord record(Log_Severe, 0, http_log::kSourceFile, __LINE__, kOnDataReady);
    return record.ReturnResult(Result_Fail, "Unable to create response stream");
  }
  HTTP_SERVER_LOG(kOnDataReady, Log_Severe, "Should not get here... returning 404 for requestUri = '%s'  rootUri = '%s'",
             ForLog(uri).c_str(), rootUri.c_str());
  if (headOnly) {
    response->Write(kNotFoundResponse, kNotFoundHeadLength);
  } else {
    WriteNotFound(response.Get());
  }
  SendResponse(connectionId, response.Get(), false);
  CloseAndForget(connectionId);
  return static_cast<int>(Result_Ok);
}

int HttpServer::SendWhole(const UUID& connectionId, IDataStream* data) {
  uint32_t size = 0;
  data->GetSize(&size);
  const uint32_t sliceBytes = std::clamp<uint32_t>(responseSliceBytes_.load(), 1, kMaxMessageBody);
  if (size <= sliceBytes) return SendResponse(connectionId, data, false);
  // One write may carry no more than the transport's message limit; the
  // writes of one connection go out in order, so the slices arrive as one.
  for (uint32_t at = 0; at < size;) {
    const uint32_t end = size - at > sliceBytes ? at + sliceBytes : size;
    RefPtr<IDataStream> slice;
    if (Failed(CreateSubStream(data, at, end, slice.Receive())) || !slice) return Result_Fail;
    const int result = SendResponse(connectionId, slice.Get(), false);
    if (Failed(result)) return result;
    at = end;
  }
  return Result_Ok;
}

int HttpServer::SendResponse(const UUID& connectionId, IDataStream* data, bool synchronous) {
  RefPtr<IHttpConnections> connections = CurrentConnections();
  if (!connections) return static_cast<int>(Result_NotInitialized);
  return connections->Write(connectionId, data, synchronous);
}

bool HttpServer::CallHandler(const UUID& connectionId, IUriHandler* handler, IUriHandler::Request* request) {
  if (!handler) return false;
  RefPtr<IUriHandler> hold(handler, true);
  RefPtr<IDataStream> body;
  if (Failed(CreateDataStream(body.Receive())) || !body) return false;

  RefPtr<IUriHandler::Continuation> continuation;
  if (handler->HandleStreamingRequest(request, body.Get(), continuation.Receive())) {
    SendResponse(connectionId, body.Get(), true);
    while (continuation && !continuation->done) {
      if (!IsLiveHandler(handler) || request->Cancelled()) break;
      RefPtr<IDataStream> part;
      if (Failed(CreateDataStream(part.Receive())) || !part) break;
      // The handler hands back the continuation to use next, or none.
      IUriHandler::Continuation* next = continuation.Get();
      next->AddRef();
      handler->HandleStreamingRequest(request, part.Get(), &next);
      continuation.Attach(next);
      if (Failed(SendResponse(connectionId, part.Get(), true))) break;
    }
    if (RefPtr<IHttpConnections> connections = CurrentConnections()) connections->Close(connectionId);
    return true;
  }

  std::string headers;
  if (!handler->HandleRequest(request, body.Get(), &headers)) return false;
  uint32_t bodySize = 0;
  body->GetSize(&bodySize);
  RefPtr<IDataStream> head;
  RefPtr<IDataStream> joined;
  const std::string headText = BuildResponseHead(headers, bodySize, CurrentUtcTimeMs() / 1000);
  if (Failed(CreateDataStream(head.Receive())) || !head) return true;
  head->Write(headText.data(), static_cast<uint32_t>(headText.size()));
  if (Failed(ConcatenateDataStreams(head.Get(), body.Get(), joined.Receive())) || !joined) return true;
  SendWhole(connectionId, joined.Get());
  if (RefPtr<IHttpConnections> connections = CurrentConnections()) connections->Close(connectionId);
  return true;
}

std::string HttpServer::RequestSpoolRoot() { return GetDataDirectory("", "", "requests", false, true); }

int HttpServer::RegisterHandler(const std::string& uri, IUriHandler* handler) {
  return CRASH_LOG_GUARD(HTTP_SERVER_FUNCTION("RegisterHandler"), [&] {
    if (!handler) return static_cast<int>(Result_Ok);
    CheckedLock hold(lock_);
    handlers_[uri] = handler;
    liveHandlers_.insert(handler);
    return static_cast<int>(Result_Ok);
  });
}

int HttpServer::LocateHandler(const std::string& uri, IUriHandler** handler, std::string* rootUri) {
  return CRASH_LOG_GUARD(HTTP_SERVER_FUNCTION("LocateHandler"), [&] {
    if (!handler) return static_cast<int>(Result_InvalidPointer);
    *handler = nullptr;
    CheckedLock hold(lock_);
    std::string key = uri;
    for (;;) {
      auto it = handlers_.find(key);
      if (it != handlers_.end()) {
        *handler = it->second.Get();
        (*handler)->AddRef();
        if (rootUri) *rootUri = key;
        return static_cast<int>(Result_Ok);
      }
      size_t slash = key.rfind('/');
      if (slash == std::string::npos) break;
      key.resize(slash);
      if (key.empty() || key == "/") break;
    }
    return static_cast<int>(Result_Fail);
  });
}

bool HttpServer::IsLiveHandler(IUriHandler* handler) {
  CheckedLock hold(lock_);
  return liveHandlers_.count(handler) != 0;
}

int HttpServer::WriteNotFound(IDataStream* response) {
  return CRASH_LOG_GUARD(HTTP_SERVER_FUNCTION("WriteNotFound"), [&] {
    if (!response) return static_cast<int>(Result_InvalidPointer);
    return response->Write(kNotFoundResponse, kNotFoundResponseLength);
  });
}

std::string HttpServer::FormatHttpDate(int64_t utcSeconds) {
  DateTime parts;
  EpochMsToDateTime(&parts, utcSeconds * 1000);
  // 1970-01-01 was a Thursday; the floor keeps days before it in step.
  const int64_t days = utcSeconds >= 0 ? utcSeconds / 86400 : -((-utcSeconds + 86399) / 86400);
  const int weekday = static_cast<int>(((days + 4) % 7 + 7) % 7);
  char text[64];
  snprintf(text, sizeof(text), "%s, %02d %s %04d %02d:%02d:%02d GMT", kDayNames[weekday], parts.day,
           kMonthNames[(parts.month + 11) % 12], parts.year, parts.hour, parts.minute, parts.second);
  return text;
}

std::string HttpServer::BuildResponseHead(const std::string& handlerHeaders, uint32_t bodySize, int64_t utcSeconds) {
  std::string date = FormatHttpDate(utcSeconds);
  std::string head = "HTTP/1.1 200 OK\r\n";
  head += handlerHeaders;
  head += "Date: " + date + "\r\n";
  head += "Server: Talvenor 2.0\r\n";
  head += "Last-Modified: " + date + "\r\n";
  head += "Connection: close\r\n";
  head += "Content-Length: " + std::to_string(bodySize) + "\r\n\r\n";
  return head;
}

}  // namespace corvane
