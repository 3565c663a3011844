// A small HTTP/1.1 server: one request per connection, dispatched to the
// handler registered under the longest '/'-prefix of the target, answered
// with a closing response or the fixed 404 page. The request being assembled
// is HttpServer::IUriHandler::Request (HttpRequest.h).
//
// Lifecycle: construct, RegisterHandler, Start, ..., Stop, last Release. The
// connections hold no reference to the server, so the owner calls Stop
// before letting go (the destructor stops as a backstop).
//
// Threads: every public operation may be called from any thread; the server's
// lock guards the maps and is never held while a handler runs, a chunk is
// appended or the connections are torn down. A connection's chunks arrive
// on one thread at a time, and its handler runs on the thread that
// delivered the chunk completing its request; that connection is read no
// further. Plain HTTP is served by a few threads sharing all connections
// (half the cores, two to four): a handler that takes its time holds up its
// own thread only. HTTPS runs on a raw transport with a receive thread per
// connection. A timer thread closes connections whose request stays
// incomplete too long (RequestTimeLimits); when every connection slot is
// held, one that is getting nowhere makes room for a new one: answered and
// lingering, then the oldest without a complete request (whose bytes are
// not waiting to be read), then the answer stalled longest.
//
// Locks: the server's lock is its only one, a leaf: taken by connection
// callbacks (whose own locks are let go by then) and by the timer, and let
// go before any call into the connections, a handler or a request. No path
// takes it twice, so it is a checked lock with the members it guards named.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "ITransport.h"
#include "RefCount.h"
#include "Scheduler.h"
#include "ThreadAnnotations.h"
#include "Timer.h"
#include "Uuid.h"

namespace corvane {

class IHttpConnections;

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

  // A connection whose request is incomplete and that sends nothing for this
  // long is closed, so silent clients cannot hold every connection slot.
  static constexpr uint32_t kDefaultRequestIdleTimeoutMs = 30000;

  // How long a request may take to arrive; a connection past a limit is
  // closed without an answer (Warning). 0 turns a limit off.
  struct RequestTimeLimits {
    // No bytes at all for this long.
    uint32_t idleMs = kDefaultRequestIdleTimeoutMs;
    // The header block complete within this time of its first byte.
    uint32_t headMs = 10000;
    // After the header block, the body arrives at this many bytes a second
    // on average, counted after a head start of bodyGraceMs.
    uint32_t minBodyBytesPerSecond = 1024;
    uint32_t bodyGraceMs = 10000;
  };

  // The first server constructed in the process removes the request spool
  // folder left by an earlier run. tls, when given, is copied: the server
  // then speaks HTTPS.
  HttpServer(uint32_t bindAddress, uint16_t port, const EncryptionStruct* tls = nullptr);
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

  // Starts accepting, with this server as the receiver of every chunk and
  // event. 0, or the first failure (logged); Result_AlreadyInitialized
  // while started.
  int Start();
  // Closes every connection and drops every request. Always 0; a second
  // call does nothing.
  int Stop();
  // Take effect at the next Start.
  void SetRequestIdleTimeoutMs(uint32_t timeoutMs);
  void SetRequestTimeLimits(const RequestTimeLimits& limits);

  // Runs one handler; when it takes the request, sends its response and
  // closes the connection. False when the handler declined (nothing sent).
  bool CallHandler(const UUID& connectionId, IUriHandler* handler, IUriHandler::Request* request);
  // WriteTextSynchronous when synchronous, else WriteText; Result_NotInitialized
  // when stopped.
  int SendResponse(const UUID& connectionId, IDataStream* data, bool synchronous);
  // SendResponse (not synchronous) of a response of any size: one larger
  // than a transport write may carry goes in slices (kResponseSliceBytes,
  // or what SetResponseSliceBytes set, never above the transport's limit).
  int SendWhole(const UUID& connectionId, IDataStream* data);
  static constexpr uint32_t kResponseSliceBytes = 64u << 20;
  void SetResponseSliceBytes(uint32_t bytes) { responseSliceBytes_.store(bytes); }

  // Requests being assembled (a test seam for leak checks).
  size_t PendingRequestCount();

  // True while `handler` is one that was registered with this server.
  bool IsLiveHandler(IUriHandler* handler);

  // Writes kNotFoundResponse; the result of IDataStream::Write.
  static int WriteNotFound(IDataStream* response);

  // The head of a handled response: status line, the handler's header
  // lines unchanged, Date, Server, Last-Modified (the same instant),
  // Connection: close, Content-Length, blank line. Day and month names are
  // English whatever the process locale.
  static std::string BuildResponseHead(const std::string& handlerHeaders, uint32_t bodySize, int64_t utcSeconds);
  // "Sun, 06 Nov 1994 08:49:37 GMT".
  static std::string FormatHttpDate(int64_t utcSeconds);

  // Where request bodies are spooled: "requests" in the per-user data folder.
  static std::string RequestSpoolRoot();

 protected:
  ~HttpServer() override;

 private:
  // What the connections and the idle timer call back into.
  class Hooks;

  // A chunk of a connection's input and the addresses it came between.
  void ReceiveBytes(const UUID& connectionId, uint32_t peerIpv4, uint32_t localIpv4, std::string_view bytes);
  // TransportEvent_Connected or TransportEvent_Disconnected.
  void ReceiveEvent(const UUID& connectionId, int event);

  RefPtr<IHttpConnections> CurrentConnections();
  // Drops the connection's request and idle stamp; the request (and its
  // spool folder) goes outside the lock.
  void Forget(const UUID& connectionId);
  // Closes the connection and forgets its request.
  void CloseAndForget(const UUID& connectionId);
  // Answers with the 404 page (its head alone when headOnly) and closes;
  // Result_Fail when no stream.
  int SendNotFound(const UUID& connectionId, const std::string& uri, const std::string& rootUri,
                   bool headOnly = false);
  void CloseIdleConnections();
  // The oldest connection whose request is not complete.
  bool ChooseConnectionToClose(UUID* connectionId);

  CheckedMutex lock_;
  uint32_t bindAddress_;
  uint16_t port_;
  std::unique_ptr<EncryptionStruct> tls_;
  RequestTimeLimits limits_ GUARDED_BY(lock_);
  std::atomic<uint32_t> responseSliceBytes_{kResponseSliceBytes};
  // Raised by Stop and seen by every request this server made, so that long
  // parsing or a long handler gives up instead of holding up the stop.
  std::shared_ptr<std::atomic<bool>> stopping_ GUARDED_BY(lock_) = std::make_shared<std::atomic<bool>>(false);
  RefPtr<IHttpConnections> connections_ GUARDED_BY(lock_);
  std::unique_ptr<Hooks> hooks_;
  RefPtr<ITimer> idleTimer_ GUARDED_BY(lock_);
  std::map<UUID, RefPtr<IUriHandler::Request>> requests_ GUARDED_BY(lock_);
  // Each connection whose request is not yet complete (or that has sent
  // nothing yet), in steady-clock milliseconds (0: not yet).
  struct Arrival {
    int64_t connectedMs = 0;
    int64_t lastBytesMs = 0;
    int64_t firstByteMs = 0;
    int64_t headDoneMs = 0;
    uint64_t bytes = 0;
    uint64_t headBytes = 0;
  };
  std::map<UUID, Arrival> arrivals_ GUARDED_BY(lock_);
  // Connections named to make room and not heard from since.
  std::set<UUID> namedToClose_ GUARDED_BY(lock_);
  std::map<std::string, RefPtr<IUriHandler>> handlers_ GUARDED_BY(lock_);
  // Never shrinks: a streaming handler's continuation is honoured only while
  // its handler is one of these.
  std::set<IUriHandler*> liveHandlers_ GUARDED_BY(lock_);
};

}  // namespace corvane
