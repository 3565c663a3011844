#include "HttpRequest.h"

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <new>
#include <sstream>
#include <stdexcept>

#include "DataStream.h"
#include "HttpServerLog.h"
#include "Directory.h"
#include "FileIo.h"
#include "Logger.h"
#include "Result.h"
#include "StringUtils.h"


namespace corvane {

namespace {

constexpr char kAppendData[] = "corvane::HttpServer::IUriHandler::Request::AppendData";
constexpr char kProcessRequestData[] = "corvane::HttpServer::IUriHandler::Request::ProcessRequestData";

std::atomic<uint64_t> g_totalSpooled{0};
std::atomic<uint64_t> g_totalParameters{0};

// What one name/value member costs in the parameters document beyond its
// two texts: the member and its share of the member array, which the pool
// allocator copies as it grows without freeing the old one.
constexpr uint64_t kMemberCost = 112;
// What one structural character of a JSON text ('[', '{', ',' or ':') may
// cost while it is parsed: a value on the parser's stack and in the
// document, and the parser's own state for a nesting level.
constexpr uint64_t kJsonStructureCost = 48;
// How often a long urlencoded text looks at the server's stop.
constexpr size_t kPiecesPerStopCheck = 4096;

uint64_t EstimateJsonCost(std::string_view text) {
  uint64_t structural = 1;
  for (char c : text) {
    if (c == '[' || c == '{' || c == ',' || c == ':') ++structural;
  }
  return 2 * static_cast<uint64_t>(text.size()) + kJsonStructureCost * structural;
}

bool IsCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// One "%<width>s" conversion of sscanf: skips white space, then takes up to
// width non-blank characters. False when nothing is left to take.
bool ScanWord(std::string_view text, size_t* pos, size_t width, std::string* out) {
  size_t p = *pos;
  while (p < text.size() && IsCSpace(text[p])) ++p;
  if (p >= text.size()) return false;
  size_t start = p;
  while (p < text.size() && !IsCSpace(text[p]) && p - start < width) ++p;
  out->assign(text.substr(start, p - start));
  *pos = p;
  return true;
}

// Decimal read by stream extraction: 0 without digits, the range's end on
// overflow.
int32_t ReadDecimal(const std::string& text) {
  std::istringstream in(text);
  int32_t value = 0;
  in >> value;
  return value;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

// Letters, digits, underscore, dot, minus, parentheses and blanks.
bool IsValidUploadName(const std::string& name) {
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
              c == '-' || c == '(' || c == ')' || c == ' ';
    if (!ok) return false;
  }
  return true;
}

// Valid names that no upload may take: the spool file's own name would
// overwrite the body being parsed, and "." or ".." name folders. Such a
// part is refused alone, as one whose file cannot be opened.
bool IsReservedUploadName(const std::string& name) {
  return name == HttpServer::IUriHandler::Request::kSpoolFileName || name == "." || name == "..";
}

// Buffered reads of the spool file from an absolute position. Before each
// read from the file it asks proceed; once that says no, the file reads as
// ended (Halted) and no line is given.
class SpoolReader {
 public:
  SpoolReader(int fd, std::function<bool()> proceed) : fd_(fd), proceed_(std::move(proceed)) {}

  // -1 at the end of the file.
  int Get() {
    if (next_ == end_ && !Fill()) return -1;
    return static_cast<unsigned char>(buffer_[next_++]);
  }
  int Peek() {
    if (next_ == end_ && !Fill()) return -1;
    return static_cast<unsigned char>(buffer_[next_]);
  }
  uint64_t Position() const { return base_ + next_; }
  bool Halted() const { return halted_; }
  void Seek(uint64_t position) {
    // Going back within the block in hand (to the boundary line that ended
    // a part) reads nothing again.
    if (position >= base_ && position <= base_ + end_) {
      next_ = static_cast<size_t>(position - base_);
      return;
    }
    base_ = position;
    next_ = end_ = 0;
  }

  // A line of at most 255 characters without its line feed, as a getline
  // with a 256-byte buffer reads it: a longer line, or nothing left, fails.
  bool ReadLine(std::string* line) {
    line->clear();
    for (;;) {
      int c = Peek();
      if (c < 0) return !halted_ && !line->empty();
      if (c == '\n') {
        Get();
        return true;
      }
      if (line->size() == kMaxLine) return false;
      line->push_back(static_cast<char>(Get()));
    }
  }

 private:
  static constexpr size_t kMaxLine = 255;

  bool Fill() {
    base_ += end_;
    next_ = end_ = 0;
    if (halted_ || !proceed_()) {
      halted_ = true;
      return false;
    }
    int64_t n = platform::ReadAt(fd_, buffer_, sizeof(buffer_), base_);
    if (n <= 0) return false;
    end_ = static_cast<size_t>(n);
    return true;
  }

  int fd_;
  std::function<bool()> proceed_;
  bool halted_ = false;
  uint64_t base_ = 0;
  size_t next_ = 0;
  size_t end_ = 0;
  char buffer_[4096];
};

// Streams content up to a delimiter through a KMP matcher, so a long
// boundary costs no more than a short one.
class DelimiterScanner {
 public:
  explicit DelimiterScanner(const std::string& delimiter) : delimiter_(delimiter), fail_(delimiter.size(), 0) {
    for (size_t i = 1, k = 0; i < delimiter_.size(); ++i) {
      while (k > 0 && delimiter_[i] != delimiter_[k]) k = fail_[k - 1];
      if (delimiter_[i] == delimiter_[k]) ++k;
      fail_[i] = k;
    }
  }

  // Feeds content bytes to sink (in blocks of at most blockSize) until the
  // delimiter has been read; true when it was found, false at the end of
  // the file (everything read was then content) or when sink refuses.
  template <class Sink>
  bool Scan(SpoolReader& reader, size_t blockSize, Sink&& sink) {
    std::string block;
    block.reserve(blockSize);
    bool sinkOk = true;
    auto emit = [&](const char* data, size_t size) {
      for (size_t i = 0; i < size && sinkOk; ++i) {
        block.push_back(data[i]);
        if (block.size() == blockSize) {
          sinkOk = sink(block);
          block.clear();
        }
      }
    };
    size_t matched = 0;
    for (;;) {
      int c = reader.Get();
      if (c < 0) {
        emit(delimiter_.data(), matched);
        if (sinkOk && !block.empty()) sinkOk = sink(block);
        return false;
      }
      char ch = static_cast<char>(c);
      size_t before = matched;
      while (matched > 0 && delimiter_[matched] != ch) matched = fail_[matched - 1];
      if (delimiter_[matched] == ch) ++matched;
      // The bytes held back were delimiter_[0, before) followed by ch; all
      // but the new partial match are content.
      size_t release = before + 1 - matched;
      if (release > 0) {
        if (release <= before) {
          emit(delimiter_.data(), release);
        } else {
          emit(delimiter_.data(), before);
          emit(&ch, 1);
        }
      }
      if (!sinkOk) return false;
      if (matched == delimiter_.size()) {
        if (!block.empty()) sinkOk = sink(block);
        return sinkOk;
      }
    }
  }

 private:
  std::string delimiter_;
  std::vector<size_t> fail_;
};

}  // namespace

HttpServer::IUriHandler::Request::Request() : parameters_(rapidjson::kObjectType) {}

HttpServer::IUriHandler::Request::~Request() {
  // Uncounted before the folder goes: whoever sees it gone sees the total
  // without it.
  g_totalSpooled.fetch_sub(spoolSize_ + extractedBytes_);
  g_totalParameters.fetch_sub(parameterCost_);
  if (spoolFolderFd_ >= 0) {
    platform::CloseFile(spoolFd_);
    platform::CloseFile(spoolFolderFd_);
    RemoveDirectoryTree(GetSpoolFolder());
  }
}

uint64_t HttpServer::IUriHandler::Request::TotalSpooledBytes() { return g_totalSpooled.load(); }

uint64_t HttpServer::IUriHandler::Request::TotalParameterBytes() { return g_totalParameters.load(); }

bool HttpServer::IUriHandler::Request::ChargeParameters(uint64_t cost) {
  if (parametersStopped_) return false;
  if (parameterCost_ + cost <= parameterBudget_) {
    if (g_totalParameters.fetch_add(cost) + cost <= kMaxTotalParameterBytes) {
      parameterCost_ += cost;
      return true;
    }
    g_totalParameters.fetch_sub(cost);
  }
  parametersStopped_ = true;
  HTTP_SERVER_LOG(kProcessRequestData, Log_Warning,
                  "Request parameters passed their memory bound; parsing stopped with %zu parameters",
                  ParameterCount());
  return false;
}
std::string HttpServer::IUriHandler::Request::SpoolName() const {
  char name[2 * sizeof(void*) + 1];
  snprintf(name, sizeof(name), "%0*" PRIXPTR, static_cast<int>(2 * sizeof(void*)), reinterpret_cast<uintptr_t>(this));
  return name;
}

std::string HttpServer::IUriHandler::Request::GetSpoolFolder() const { return RequestSpoolRoot() + "/" + SpoolName(); }

int HttpServer::IUriHandler::Request::AppendData(IDataStream* data) {
  std::string bytes;
  if (!data || data->ReadString(&bytes) < 0) return Result_Ok;
  return AppendBytes(bytes);
}

int HttpServer::IUriHandler::Request::Reject(const char* why) {
  HTTP_SERVER_LOG(kAppendData, Log_Warning, "Closing HTTP connection: %s", why);
  rejected_ = true;
  return Result_Fail;
}

int HttpServer::IUriHandler::Request::AppendBytes(std::string_view bytes) {
  if (rejected_) return Result_Fail;
  if (headersParsed_) {
    int r = AppendBody(bytes);
    if (r != 0) return r < 0 ? r : Result_Ok;
    UpdateCompleteness();
    return Result_Ok;
  }

  headerText_.append(bytes);
  size_t end = headerText_.find("\r\n\r\n", headerSearchFrom_);
  if (end == std::string::npos || end + 4 > kMaxHeaderBytes) {
    if (headerText_.size() > kMaxHeaderBytes) return Reject("request header block too large");
    // The blank line may straddle this chunk and the next.
    headerSearchFrom_ = headerText_.size() >= 3 ? headerText_.size() - 3 : 0;
    HTTP_SERVER_LOG(kAppendData, Log_Information, "Request headers not complete. Request string length so far: %zu",
                headerText_.size());
    return Result_Ok;
  }
  body_.assign(headerText_, end + 4);
  headerText_.resize(end + 4);
  headersParsed_ = true;
  ParseHeaderBlock();
  return rejected_ ? Result_Fail : Result_Ok;
}

void HttpServer::IUriHandler::Request::ParseHeaderBlock() {
  // The request line is read as sscanf would read it: the text ends at a NUL.
  std::string_view line(headerText_.c_str());
  size_t pos = 0;
  std::string method, target;
  if (ScanWord(line, &pos, 255, &method)) ScanWord(line, &pos, 4095, &target);
  if (method == "GET" || method == "PUT" || method == "POST" || method == "DELETE") {
    requestType_ = method;
    requestUri_ = target;
  } else {
    requestType_ = "UNSUPPORTED";
  }

  std::string length, type;
  GetHeader("Content-Length", &length);
  GetHeader("Content-type", &type);
  if (requestUri_.find("splashdata") == std::string::npos) {
    HTTP_SERVER_LOG(kAppendData, Log_Information,
                "Recieved headers for request with requestType = '%s' requestUri = '%s' Content-Length = %s "
                "Content-type = %s",
                requestType_.c_str(), ForLog(requestUri_).c_str(), ForLog(length).c_str(), ForLog(type).c_str());
  }
  if (length.empty()) {
    complete_ = true;
    return;
  }
  contentLength_ = ReadDecimal(length);
  contentType_ = type;

  if (type.find("multipart/form-data") == std::string::npos) {
    if (contentLength_ > 0 && static_cast<size_t>(contentLength_) > kMaxBodyBytes) {
      Reject("request body too large");
      return;
    }
    bool reserved = true;
    try {
      // A negative length cannot be reserved either.
      if (contentLength_ < 0) throw std::length_error("negative Content-Length");
      body_.reserve(static_cast<size_t>(contentLength_));
    } catch (const std::bad_alloc&) {
      reserved = false;
    } catch (const std::length_error&) {
      reserved = false;
    }
    if (!reserved) {
      HTTP_SERVER_LOG(kAppendData, Log_Severe, "Failed to reserve %u bytes for body data of HTTP request",
                  static_cast<unsigned>(contentLength_));
      complete_ = true;
      return;
    }
  } else {
    if (contentLength_ > 0 && static_cast<uint64_t>(contentLength_) > kMaxSpoolBytes) {
      Reject("spooled request body too large");
      return;
    }
    if (OpenSpool() < 0) return;
    std::string initial;
    initial.swap(body_);
    if (AppendBody(initial) != 0) return;
  }
  UpdateCompleteness();
}

int HttpServer::IUriHandler::Request::OpenSpool() {
  // Every file of the request is made inside the folder opened here: a link
  // planted on its path is refused, never written through.
  std::string folder;
  const int folderFd = OpenDataDirectory("", "", "requests/" + SpoolName(), true, &folder);
  int error = errno;
  std::string path = folder + "/" + kSpoolFileName;
  HTTP_SERVER_LOG(kAppendData, Log_Information, "Writing body data to %s", path.c_str());
  const int fd = folderFd >= 0 ? platform::CreatePrivateFileAt(folderFd, kSpoolFileName, true) : -1;
  if (fd < 0) {
    if (folderFd >= 0) error = errno;
    HTTP_SERVER_LOG(kAppendData, Log_Severe, "Failed to open file for body data: %d", error);
    if (folderFd >= 0) {
      platform::CloseFile(folderFd);
      RemoveDirectoryTree(folder);
    }
    complete_ = true;
    return Result_Fail;
  }
  spoolFolderFd_ = folderFd;
  spoolFd_ = fd;
  return Result_Ok;
}

// 0: appended; 1: the request was ended (complete); Result_Fail: rejected.
int HttpServer::IUriHandler::Request::AppendBody(std::string_view bytes) {
  if (spoolFd_ >= 0) {
    if (spoolSize_ + bytes.size() > kMaxSpoolBytes) return Reject("spooled request body too large");
    if (g_totalSpooled.fetch_add(bytes.size()) + bytes.size() > kMaxTotalSpoolBytes) {
      g_totalSpooled.fetch_sub(bytes.size());
      return Reject("spooled request bodies too large in total");
    }
    if (!platform::WriteFully(spoolFd_, bytes.data(), bytes.size())) {
      g_totalSpooled.fetch_sub(bytes.size());
      HTTP_SERVER_LOG(kAppendData, Log_Severe, "Failed to append %zu bytes for body data of HTTP request", bytes.size());
      complete_ = true;
      return 1;
    }
    spoolSize_ += bytes.size();
    return 0;
  }
  if (body_.size() + bytes.size() > kMaxBodyBytes) return Reject("request body too large");
  try {
    body_.append(bytes);
  } catch (const std::bad_alloc&) {
    HTTP_SERVER_LOG(kAppendData, Log_Severe, "Failed to append %zu bytes for body data of HTTP request", bytes.size());
    complete_ = true;
    return 1;
  }
  return 0;
}

void HttpServer::IUriHandler::Request::UpdateCompleteness() {
  int64_t size = spoolFd_ >= 0 ? static_cast<int64_t>(spoolSize_) : static_cast<int64_t>(body_.size());
  if (size < contentLength_) return;
  if (spoolFd_ >= 0) {
    HTTP_SERVER_LOG(kAppendData, Log_Information, "size >= m_contentLength ( %lld >= %d ) so marking request as complete.",
                static_cast<long long>(size), contentLength_);
  }
  complete_ = true;
}

int HttpServer::IUriHandler::Request::GetHeader(const std::string& name, std::string* value) const {
  if (!headersParsed_ || !value) return Result_Fail;
  std::string upper = ToUpper(headerText_);
  std::string key = "\r\n" + ToUpper(name);
  if (key.back() != ':') key += ':';
  size_t at = upper.find(key);
  if (at == std::string::npos) return Result_Fail;
  size_t start = at + key.size();
  size_t end = headerText_.find("\r\n", start);
  if (end == std::string::npos) return Result_Fail;
  while (end > start && IsCSpace(headerText_[end - 1])) --end;
  while (start < end && IsCSpace(headerText_[start])) ++start;
  value->assign(headerText_, start, end - start);
  return Result_Ok;
}

int HttpServer::IUriHandler::Request::GetHeaderInt(const std::string& name, int* value) const {
  std::string text;
  int result = GetHeader(name, &text);
  if (value) *value = ReadDecimal(text);
  return result;
}

int HttpServer::IUriHandler::Request::GetBodyData(BodyData* out) const {
  if (!complete_ || !out) return Result_Fail;
  out->data = body_.data();
  out->size = static_cast<uint32_t>(body_.size());
  return Result_Ok;
}

void HttpServer::IUriHandler::Request::SetRootUri(const std::string& rootUri) {
  rootUri_ = rootUri;
  ProcessRequestData();
}

void HttpServer::IUriHandler::Request::ProcessRequestData() {
  size_t query = requestUri_.find('?');
  size_t pathEnd = query == std::string::npos ? requestUri_.size() : query;
  for (size_t p = rootUri_.size(); p < pathEnd;) {
    size_t slash = requestUri_.find('/', p);
    size_t end = slash == std::string::npos || slash > pathEnd ? pathEnd : slash;
    if (end > p) pathSegments_.push_back(requestUri_.substr(p, end - p));
    p = end + 1;
  }

  const uint64_t input = requestUri_.size() + body_.size() + spoolSize_;
  parameterBudget_ = kParameterBaseBytes + kParameterBytesPerBodyByte * input;
  try {
    ParseRequestParameters(query);
  } catch (const std::bad_alloc&) {
    // The parameters gathered so far stay; the request is still answered.
    HTTP_SERVER_LOG(kProcessRequestData, Log_Severe, "Out of memory while parsing request parameters");
  }
}

void HttpServer::IUriHandler::Request::ParseRequestParameters(size_t query) {
  if (requestType_ == "GET" && query != std::string::npos) {
    ParseParameters(std::string_view(requestUri_).substr(query + 1));
  } else if (requestType_ == "POST") {
    HTTP_SERVER_LOG(kProcessRequestData, Log_Information, "Processing POST data");
    std::string type;
    GetHeader("Content-type", &type);
    BodyData body;
    int bodyResult = GetBodyData(&body);
    std::string_view bodyText = bodyResult < 0 ? std::string_view() : std::string_view(body.data, body.size);
    if (type.find("application/x-www-form-urlencoded") != std::string::npos) {
      if (bodyResult < 0) {
        HTTP_SERVER_LOG(kProcessRequestData, Log_Severe, "Failed to get body data of POST request");
      } else {
        ParseParameters(bodyText);
      }
    } else if (type.find("multipart/form-data") != std::string::npos) {
      ParseMultipart();
    } else if (type.find("application/json") != std::string::npos) {
      try {
        ParseJsonBody(bodyText);
      } catch (const std::exception&) {
        HTTP_SERVER_LOG(kProcessRequestData, Log_Severe, "Failed to parse json data");
      }
    }
  }
}

int HttpServer::IUriHandler::Request::ParseParameters(std::string_view text) {
  size_t p = 0;
  for (size_t pieces = 1; p <= text.size(); ++pieces) {
    if (pieces % kPiecesPerStopCheck == 0 && Cancelled()) break;
    size_t amp = text.find('&', p);
    std::string_view piece = text.substr(p, amp == std::string_view::npos ? std::string_view::npos : amp - p);
    size_t eq = piece.find('=');
    if (eq != std::string_view::npos && !AddMember(UrlDecode(piece.substr(0, eq)), UrlDecode(piece.substr(eq + 1)))) {
      break;
    }
    if (amp == std::string_view::npos) break;
    p = amp + 1;
  }
  return Result_Ok;
}

std::string HttpServer::IUriHandler::Request::UrlDecode(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '+') {
      out.push_back(' ');
    } else if (in[i] == '%' && i + 2 < in.size()) {
      out.push_back(static_cast<char>(HexDigit(in[i + 1]) * 16 + HexDigit(in[i + 2])));
      i += 2;
    } else {
      out.push_back(in[i]);
    }
  }
  return out;
}

bool HttpServer::IUriHandler::Request::AddMember(const std::string& name, const std::string& value) {
  if (!parameters_.IsObject()) return true;
  if (!ChargeParameters(kMemberCost + name.size() + value.size())) return false;
  auto& allocator = parameters_.GetAllocator();
  rapidjson::Value key(name.data(), static_cast<rapidjson::SizeType>(name.size()), allocator);
  rapidjson::Value text(value.data(), static_cast<rapidjson::SizeType>(value.size()), allocator);
  parameters_.AddMember(key, text, allocator);
  return true;
}

bool HttpServer::IUriHandler::Request::ParseJsonWithinBound(std::string_view text, rapidjson::Document* parsed) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  if (!ChargeParameters(EstimateJsonCost(text))) return false;
  // The iterative parser keeps deeply nested input off the stack.
  parsed->Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
  return true;
}

void HttpServer::IUriHandler::Request::ParseJsonBody(std::string_view text) {
  // Parsed into the parameters' own allocator so that the result can be
  // moved in without a (recursive) deep copy.
  rapidjson::Document parsed(&parameters_.GetAllocator());
  if (!ParseJsonWithinBound(text, &parsed) || parsed.HasParseError()) return;
  static_cast<rapidjson::Value&>(parameters_).Swap(parsed);
}

void HttpServer::IUriHandler::Request::ParseMultipart() {
  if (spoolFd_ < 0) return;
  size_t at = contentType_.find("boundary=");
  if (at == std::string::npos) return;
  const std::string boundaryLine = "--" + contentType_.substr(at + 9);
  const std::string partStart = boundaryLine + "\r";
  DelimiterScanner scanner("\r\n" + boundaryLine);
  const std::string folder = GetSpoolFolder();
  const int64_t deadline = platform::MonotonicNanoseconds() + kMultipartParseMs * 1000000;
  bool stopped = false;
  // Asked before every part and every block read from the spool: the
  // thread parsing is one of the few that serve every client.
  auto proceed = [&]() -> bool {
    if (stopped) return false;
    if (Cancelled()) {
      HTTP_SERVER_LOG(kProcessRequestData, Log_Information,
                      "Server stopping; parsing of the multipart body ended with %zu parameters", ParameterCount());
    } else if (platform::MonotonicNanoseconds() > deadline) {
      HTTP_SERVER_LOG(kProcessRequestData, Log_Warning,
                      "Multipart body took more than %lld ms to parse; parsing stopped with %zu parameters",
                      static_cast<long long>(kMultipartParseMs), ParameterCount());
    } else {
      return true;
    }
    stopped = true;
    return false;
  };
  SpoolReader reader(spoolFd_, proceed);
  std::string line;
  size_t parts = 0;
  for (;;) {
    do {
      if (!reader.ReadLine(&line)) return;
    } while (line != partStart);
    if (++parts > kMaxMultipartParts) {
      HTTP_SERVER_LOG(kProcessRequestData, Log_Warning,
                      "Multipart body has more than %zu parts; parsing stopped with %zu parameters", kMaxMultipartParts,
                      ParameterCount());
      return;
    }
    if (!proceed()) return;

    std::string disposition;
    if (!reader.ReadLine(&disposition)) return;
    size_t nameAt = disposition.find("name=\"");
    if (nameAt == std::string::npos) continue;
    nameAt += 6;
    std::string name = disposition.substr(nameAt, disposition.find('"', nameAt) - nameAt);
    std::string fileName;
    size_t fileAt = disposition.find("filename=\"");
    if (fileAt != std::string::npos) {
      fileAt += 10;
      fileName = disposition.substr(fileAt, disposition.find('"', fileAt) - fileAt);
    }
    if (!fileName.empty() && !IsValidUploadName(fileName)) {
      HTTP_SERVER_LOG(kProcessRequestData, Log_Severe, "Invalid filename in POST data, failed to process: %s",
                      ForLog(fileName).c_str());
      return;
    }
    const bool refused = IsReservedUploadName(fileName);
    if (refused) {
      HTTP_SERVER_LOG(kProcessRequestData, Log_Severe, "Invalid filename in POST data, failed to process: %s",
                      fileName.c_str());
    }

    std::string partType;
    for (;;) {
      if (!reader.ReadLine(&line)) return;
      if (!line.empty() && line[0] == '\r') break;
      size_t typeAt = line.find("Content-Type: ");
      if (typeAt != std::string::npos) {
        std::string rest = line.substr(typeAt + 14);
        partType = rest.substr(0, rest.find('"'));
      }
    }

    bool found;
    if (refused) {
      found = scanner.Scan(reader, 4096, [](const std::string&) { return true; });
    } else if (!fileName.empty()) {
      std::string path = folder + "/" + fileName;
      // A name given again rewrites its file in place: emptying it on open
      // costs a flush to disk per part on some file systems.
      int fd = platform::OpenRewriteFileAt(spoolFolderFd_, fileName);
      bool written = fd >= 0;
      bool withinTotal = true;
      uint64_t oldLength = 0, length = 0;
      bool regular = false;
      if (written) written = platform::FileStatus(fd, &oldLength, &regular);
      found = scanner.Scan(reader, 4096, [&](const std::string& block) {
        // Extracted files take disk beside the body: they count against
        // the same total.
        if (g_totalSpooled.fetch_add(block.size()) + block.size() > kMaxTotalSpoolBytes) {
          g_totalSpooled.fetch_sub(block.size());
          return withinTotal = false;
        }
        extractedBytes_ += block.size();
        length += block.size();
        if (written) written = platform::WriteFully(fd, block.data(), block.size());
        return true;
      });
      if (written && oldLength > length) platform::SetFileLength(fd, length);
      platform::CloseFile(fd);
      if (!withinTotal) {
        platform::RemoveFile(path);
        HTTP_SERVER_LOG(kProcessRequestData, Log_Warning,
                        "Uploaded files passed the spool's total of %" PRIu64 " bytes; parsing ended",
                        kMaxTotalSpoolBytes);
        return;
      }
      if (reader.Halted()) return;
      if (fd >= 0 && !AddMember(name, path)) return;
    } else {
      std::string value;
      bool fits = true;
      found = scanner.Scan(reader, 256, [&](const std::string& block) {
        if (value.size() + block.size() > kMaxBodyBytes) return fits = false;
        value.append(block);
        return true;
      });
      if (!fits) {
        HTTP_SERVER_LOG(kProcessRequestData, Log_Warning, "Multipart field '%s' too large, parsing ended",
                        ForLog(name).c_str());
        return;
      }
      if (reader.Halted()) return;
      if (partType.find("json") != std::string::npos) {
        rapidjson::Document parsed(&parameters_.GetAllocator());
        if (!ParseJsonWithinBound(value, &parsed)) return;
        if (!parsed.HasParseError() && parsed.IsObject() && parameters_.IsObject()) {
          for (rapidjson::SizeType i = 0; i < parsed.MemberCount(); ++i) {
            auto& member = parsed.MemberBegin()[i];
            parameters_.AddMember(member.name, member.value, parameters_.GetAllocator());
          }
        }
      } else if (!AddMember(name, value)) {
        return;
      }
    }
    if (!found) return;
    // Resume at the boundary line that ended this part.
    reader.Seek(reader.Position() - boundaryLine.size());
  }
}

}  // namespace corvane
