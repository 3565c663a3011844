// A small HTTP/1.1 server: one request per connection, dispatched to the
// handler registered under the longest '/'-prefix of the target, answered
// with a closing response or the fixed 404 page.
//
// This header holds the server's handler registry and the response bytes;
// the request being assembled is HttpServer::IUriHandler::Request
// (HttpRequest.h).
//
// Threads: RegisterHandler and LocateHandler may be called from any thread;
// the handler map is guarded by the server's lock. Handlers run on the
// connection's receive thread, concurrently for different connections.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "RefCount.h"
#include "Scheduler.h"

namespace corvane {

class IDataStream;

class HttpServer : public IRefCountImpl {
 public:
  class IUriHandler : public virtual IRefCount {
   public:
    class Request;

    // Handed back by a streaming handler; done is true when it has nothing
    // more to send.
    class Continuation : public virtual IRefCount {
     public:
      bool done = false;
    };

    // Writes the response body into `body` and extra header lines (each
    // ending in "\r\n") into `headers`; true when the request was handled.
    // The default answers every request with a short HTML notice.
    virtual bool HandleRequest(Request* request, IDataStream* body, std::string* headers);
    // Writes a complete response (status line and headers included); true
    // when the handler streams this request. The default streams nothing.
    virtual bool HandleStreamingRequest(Request* request, IDataStream* response, Continuation** continuation);

   protected:
    ~IUriHandler() override = default;
  };

  // Exactly 95 bytes; the body repeats the status line. It carries no Server
  // or Connection header: clients have always seen it this way.
  static constexpr char kNotFoundResponse[] =
      "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: 24\r\n\r\nHTTP/1.1 404 Not Found\r\n";
  static constexpr uint32_t kNotFoundResponseLength = sizeof(kNotFoundResponse) - 1;
  // The key of a fallback handler consulted before the 404 page.
  static constexpr char kFileNotFoundKey[] = "FILE_NOT_FOUND";
  static constexpr char kDefaultHandlerBody[] =
      "You have accessed a default HTTP handler. Derive a new handler and implement";
  static constexpr char kDefaultHandlerHeaders[] = "Content-Type: text/html\r\n";

  // The first server constructed in the process removes the request spool
  // folder left by an earlier run.
  HttpServer(uint32_t bindAddress, uint16_t port);
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // A null handler is ignored. A handler registered earlier under the same
  // key is released; every handler ever registered is remembered as live.
  // Always 0.
  int RegisterHandler(const std::string& uri, IUriHandler* handler);

  // The handler under the longest prefix of uri that ends before a '/' (or
  // uri itself): "/api/discover?x" finds "/api"; "/" is found only for "/";
  // "" and "/apix" find nothing (with only "/api" registered). 0 with one
  // reference added for the caller and the key in *rootUri, or Result_Fail.
  int LocateHandler(const std::string& uri, IUriHandler** handler, std::string* rootUri);

  // True while `handler` is one that was registered with this server.
  bool IsLiveHandler(IUriHandler* handler);

  // Writes kNotFoundResponse; the result of IDataStream::Write.
  static int WriteNotFound(IDataStream* response);

  // The head of a handled response: status line, the handler's header
  // lines unchanged, Date, Server, Last-Modified (the same instant),
  // Connection: close, Content-Length, blank line. Day and month names are
  // English whatever the process locale.
  static std::string BuildResponseHead(const std::string& handlerHeaders, uint32_t bodySize, time_t utcSeconds);
  // "Sun, 06 Nov 1994 08:49:37 GMT".
  static std::string FormatHttpDate(time_t utcSeconds);

  // Where request bodies are spooled: "requests" in the per-user data folder.
  static std::string RequestSpoolRoot();

 protected:
  ~HttpServer() override;

 private:
  std::unique_ptr<Scheduler::FastMutex> lock_;
  uint32_t bindAddress_;
  uint16_t port_;
  std::map<std::string, RefPtr<IUriHandler>> handlers_;
  // Never shrinks: a streaming handler's continuation is honoured only while
  // its handler is one of these.
  std::set<IUriHandler*> liveHandlers_;
};

}  // namespace corvane
