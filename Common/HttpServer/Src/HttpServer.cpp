#include "HttpServer.h"

#include <atomic>
#include <cstdio>

#include "CrashLog.h"
#include "DataStream.h"
#include "Directory.h"
#include "Locks.h"
#include "Result.h"

#define HTTP_SERVER_FUNCTION(name) "corvane::HttpServer::" name

namespace corvane {

namespace {

std::atomic<bool> g_spoolCleared{false};

// English names whatever the locale: HTTP dates are not localised text.
constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

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

HttpServer::HttpServer(uint32_t bindAddress, uint16_t port) : bindAddress_(bindAddress), port_(port) {
  CRASH_LOG_GUARD(HTTP_SERVER_FUNCTION("HttpServer"), [&] {
    lock_.reset(GetDefaultScheduler()->CreateFastMutex());
    if (!g_spoolCleared.exchange(true)) {
      std::string root = RequestSpoolRoot();
      if (IsDirectory(root)) RemoveDirectoryTree(root);
    }
  });
}

HttpServer::~HttpServer() = default;

std::string HttpServer::RequestSpoolRoot() { return GetDataDirectory("", "", "requests", false, true); }

int HttpServer::RegisterHandler(const std::string& uri, IUriHandler* handler) {
  return CRASH_LOG_GUARD(HTTP_SERVER_FUNCTION("RegisterHandler"), [&] {
    if (!handler) return static_cast<int>(Result_Ok);
    ScopedLock hold(lock_.get());
    handlers_[uri] = handler;
    liveHandlers_.insert(handler);
    return static_cast<int>(Result_Ok);
  });
}

int HttpServer::LocateHandler(const std::string& uri, IUriHandler** handler, std::string* rootUri) {
  return CRASH_LOG_GUARD(HTTP_SERVER_FUNCTION("LocateHandler"), [&] {
    if (!handler) return static_cast<int>(Result_InvalidPointer);
    *handler = nullptr;
    ScopedLock hold(lock_.get());
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
  ScopedLock hold(lock_.get());
  return liveHandlers_.count(handler) != 0;
}

int HttpServer::WriteNotFound(IDataStream* response) {
  return CRASH_LOG_GUARD(HTTP_SERVER_FUNCTION("WriteNotFound"), [&] {
    if (!response) return static_cast<int>(Result_InvalidPointer);
    return response->Write(kNotFoundResponse, kNotFoundResponseLength);
  });
}

std::string HttpServer::FormatHttpDate(time_t utcSeconds) {
  struct tm parts {};
  gmtime_r(&utcSeconds, &parts);
  char text[64];
  snprintf(text, sizeof(text), "%s, %02d %s %04d %02d:%02d:%02d GMT", kDayNames[parts.tm_wday % 7],
           parts.tm_mday, kMonthNames[parts.tm_mon % 12], parts.tm_year + 1900, parts.tm_hour, parts.tm_min,
           parts.tm_sec);
  return text;
}

std::string HttpServer::BuildResponseHead(const std::string& handlerHeaders, uint32_t bodySize, time_t utcSeconds) {
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
