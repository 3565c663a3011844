// One HTTP/1.1 request as the server assembles it from the raw chunks of one
// connection: the header block, the request line, headers on demand, the
// body kept in memory or (multipart) spooled to a file, and, once a handler
// is chosen, the path segments and parameters.
//
// Limits: the header block may not pass kMaxHeaderBytes and an in-memory
// body kMaxBodyBytes; a spooled body may not pass kMaxSpoolBytes, nor may all
// live requests' spooled bodies and the files extracted from them together
// pass kMaxTotalSpoolBytes. A request over a limit is rejected: AppendData
// returns Result_Fail, IsRejected() turns true and the connection is to be
// closed without an answer. Parsing parameters never fails a request: past
// the memory bound (kParameterBytesPerBodyByte times the body or query, plus
// kParameterBaseBytes, and kMaxTotalParameterBytes for all live requests)
// or past the total for extracted files it stops with one Warning and the
// parameters gathered so far stay. So does a multipart body past
// kMaxMultipartParts parts or kMultipartParseMs of parsing, which bound how
// long one request holds the thread that parses it; and once the server is
// stopping (Cancelled) parsing ends at the next part or block.
//
// Threads: one request is used by one thread at a time (the connection's
// receive thread); the process-wide spool total is atomic.
#pragma once

#include <rapidjson/document.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "HttpServer.h"
#include "RefCount.h"

namespace corvane {

class HttpServer::IUriHandler::Request : public IRefCountImpl {
 public:
  static constexpr size_t kMaxHeaderBytes = 64 * 1024;
  static constexpr size_t kMaxBodyBytes = 16 * 1024 * 1024;
  static constexpr uint64_t kMaxSpoolBytes = 1024ull * 1024 * 1024;
  static constexpr uint64_t kMaxTotalSpoolBytes = 1024ull * 1024 * 1024;
  static constexpr char kSpoolFileName[] = "body.data";
  static constexpr uint64_t kParameterBytesPerBodyByte = 32;
  static constexpr uint64_t kParameterBaseBytes = 64 * 1024;
  static constexpr uint64_t kMaxTotalParameterBytes = 256ull * 1024 * 1024;
  static constexpr size_t kMaxMultipartParts = 1000;
  static constexpr int64_t kMultipartParseMs = 1000;

  struct BodyData {
    const char* data = nullptr;
    uint32_t size = 0;
  };

  Request();
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  // Takes one delivered chunk: a string (u32 length and bytes) read from
  // `data`, whose two address fields the caller has already read. 0, or
  // Result_Fail when the request broke a limit (see above); a chunk that is
  // not a readable string is ignored.
  int AppendData(IDataStream* data);
  // The same with the chunk's bytes in hand.
  int AppendBytes(std::string_view bytes);

  // Case-insensitive, first occurrence wins, trimmed of blanks and control
  // white space; a blank before the colon prevents a match. Result_Fail
  // before the header block is in or when absent.
  int GetHeader(const std::string& name, std::string* value) const;
  // GetHeader, then a decimal read (0 when it does not start with a number,
  // the int range's end on overflow); GetHeader's result.
  int GetHeaderInt(const std::string& name, int* value) const;
  // Result_Fail until complete; then the in-memory body (empty when
  // spooled).
  int GetBodyData(BodyData* out) const;

  std::string GetRequestType() const { return requestType_; }
  std::string GetRequestUri() const { return requestUri_; }
  const std::string& GetRootUri() const { return rootUri_; }
  const std::vector<std::string>& GetPathSegments() const { return pathSegments_; }
  const rapidjson::Document& GetParameters() const { return parameters_; }
  bool HeadersParsed() const { return headersParsed_; }
  bool IsComplete() const { return complete_; }
  bool IsRejected() const { return rejected_; }
  int32_t GetContentLength() const { return contentLength_; }
  const std::string& GetHeaderText() const { return headerText_; }
  // This request's spool folder (whether or not it exists yet).
  std::string GetSpoolFolder() const;

  void SetAddresses(uint32_t peerIpv4, uint32_t localIpv4) {
    peerIpv4_ = peerIpv4;
    localIpv4_ = localIpv4;
  }
  uint32_t GetPeerIpv4() const { return peerIpv4_; }
  // The server's stop flag; a request made outside a server is never
  // cancelled.
  void SetCancelFlag(std::shared_ptr<const std::atomic<bool>> flag) { cancel_ = std::move(flag); }
  // True once the server that made this request is stopping: work on its
  // behalf (parsing, a handler's long build) should end soon.
  bool Cancelled() const { return cancel_ && cancel_->load(std::memory_order_relaxed); }
  uint32_t GetLocalIpv4() const { return localIpv4_; }

  // Stores the handler's key and runs ProcessRequestData.
  void SetRootUri(const std::string& rootUri);
  // Path segments after the root and the parameters: query string,
  // urlencoded or multipart body, or a JSON body (parsed without recursion).
  virtual void ProcessRequestData();
  // Adds the name=value pairs of an urlencoded text; pieces without '=' are
  // skipped, repeated names repeat. Returns 0.
  virtual int ParseParameters(std::string_view text);

  // '+' is a blank; "%XY" is the byte of two hex digits (a non-hex character
  // counts as 0); a '%' with fewer than two characters after it is copied.
  static std::string UrlDecode(std::string_view in);

  // Bytes spooled (bodies and extracted files) by all live requests together.
  static uint64_t TotalSpooledBytes();
  // The estimated memory of all live requests' parameters.
  static uint64_t TotalParameterBytes();

 protected:
  ~Request() override;

 private:
  // The address in upper-case hex, unique among live requests.
  std::string SpoolName() const;
  void ParseHeaderBlock();
  // The query string or body parameters (ProcessRequestData's second half).
  void ParseRequestParameters(size_t query);
  int OpenSpool();
  int AppendBody(std::string_view bytes);
  int Reject(const char* why);
  void UpdateCompleteness();
  void ParseMultipart();
  void ParseJsonBody(std::string_view text);
  size_t ParameterCount() const { return parameters_.IsObject() ? parameters_.MemberCount() : 0; }
  // False once the parameters' memory bound is reached (parsing stops).
  bool AddMember(const std::string& name, const std::string& value);
  // Charges cost bytes against this request's and the process-wide bound;
  // the first refusal logs the Warning.
  bool ChargeParameters(uint64_t cost);
  // Parses a JSON text whose estimated cost fits the bound; false when it
  // did not fit (nothing parsed).
  bool ParseJsonWithinBound(std::string_view text, rapidjson::Document* parsed);

  bool headersParsed_ = false;
  bool complete_ = false;
  bool rejected_ = false;
  std::string headerText_;
  // Where the next search for the blank line starts.
  size_t headerSearchFrom_ = 0;
  std::string body_;
  // The spool folder, opened without following links, and the body in it.
  int spoolFolderFd_ = -1;
  int spoolFd_ = -1;
  uint64_t spoolSize_ = 0;
  std::string requestType_;
  std::string requestUri_;
  std::string rootUri_;
  std::vector<std::string> pathSegments_;
  rapidjson::Document parameters_;
  uint32_t peerIpv4_ = 0;
  uint32_t localIpv4_ = 0;
  int32_t contentLength_ = 0;
  std::string contentType_;
  uint64_t extractedBytes_ = 0;
  uint64_t parameterBudget_ = kParameterBaseBytes;
  uint64_t parameterCost_ = 0;
  bool parametersStopped_ = false;
  std::shared_ptr<const std::atomic<bool>> cancel_;
};

}  // namespace corvane
