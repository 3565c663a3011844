#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DataStream.h"
#include "HttpRequest.h"
#include "HttpServer.h"
#include "Logger.h"
#include "RefCount.h"
#include "Result.h"
#include "TestDataRoot.h"
#include "TestLogCapture.h"

namespace corvane {
namespace {

// Request spool folders and logs of this suite stay in a private data root.
test::TempDataRoot g_dataRoot;

// True when a captured line came from `function`.
bool HasFunction(test::CapturingStore* log, const std::string& function) {
  for (const auto& line : log->Lines()) {
    if (line.function == function) return true;
  }
  return false;
}

class HttpRequestTest : public ::testing::Test {
 protected:
  using Request = HttpServer::IUriHandler::Request;

  // Delivers the text as chunks of `chunk` bytes, each as the transport
  // frames it (a string in a stream).
  static RefPtr<Request> Feed(const std::string& text, size_t chunk = 1 << 20) {
    RefPtr<Request> request(new Request(), false);
    for (size_t at = 0; at < text.size(); at += chunk) {
      RefPtr<IDataStream> stream;
      EXPECT_EQ(0, CreateDataStream(stream.Receive()));
      stream->WriteString(text.substr(at, chunk));
      request->AppendData(stream.Get());
    }
    return request;
  }

  static std::string Json(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
  }

  test::ScopedCapture log_;
};

TEST_F(HttpRequestTest, GetSplitAtEveryByteGivesSegmentsParametersAndHeaders) {
  const std::string text =
      "GET /api/x/y?a=1&b=%41+c&d HTTP/1.1\r\nhost:  example \t\r\nX-Spaced : 5\r\nHost: second\r\n\r\n";
  RefPtr<Request> request = Feed(text, 1);
  EXPECT_TRUE(log_->Has(Log_Information, "Request headers not complete. Request string length so far: 1"));
  EXPECT_TRUE(HasFunction(log_.operator->(), "corvane::HttpServer::IUriHandler::Request::AppendData"));
  EXPECT_TRUE(log_->Has(Log_Information,
                        "Recieved headers for request with requestType = 'GET' requestUri = '/api/x/y?a=1&b=%41+c&d' "
                        "Content-Length =  Content-type = "));
  ASSERT_TRUE(request->IsComplete());
  EXPECT_EQ(text, request->GetHeaderText());
  EXPECT_EQ("GET", request->GetRequestType());

  std::string value;
  EXPECT_EQ(0, request->GetHeader("HOST", &value));
  EXPECT_EQ("example", value);  // first occurrence, trimmed
  EXPECT_EQ(Result_Fail, request->GetHeader("X-Spaced", &value));
  int number = -1;
  EXPECT_EQ(Result_Fail, request->GetHeaderInt("Content-Length", &number));

  request->SetRootUri("/api");
  EXPECT_EQ((std::vector<std::string>{"x", "y"}), request->GetPathSegments());
  EXPECT_EQ(R"({"a":"1","b":"A c"})", Json(request->GetParameters()));
}

TEST_F(HttpRequestTest, BodiesAreAwaitedAndLengthsAreReadLikeStreamExtraction) {
  // 40 of 100 bytes: incomplete until the rest arrives.
  std::string head = "POST /api/f HTTP/1.1\r\ncontent-length: 100\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n";
  std::string body = "k=v&k=w&" + std::string(92, 'z');
  RefPtr<Request> request(new Request(), false);
  EXPECT_EQ(0, request->AppendBytes(head + body.substr(0, 40)));
  EXPECT_FALSE(request->IsComplete());
  Request::BodyData data;
  EXPECT_EQ(Result_Fail, request->GetBodyData(&data));
  EXPECT_EQ(0, request->AppendBytes(body.substr(40)));
  ASSERT_TRUE(request->IsComplete());
  ASSERT_EQ(0, request->GetBodyData(&data));
  EXPECT_EQ(body, std::string(data.data, data.size));
  request->SetRootUri("/api");
  EXPECT_TRUE(log_->Has(Log_Information, "Processing POST data"));
  EXPECT_EQ(R"({"k":"v","k":"w"})", Json(request->GetParameters()));

  // "abc" reads as 0 and 0 completes at once; Transfer-Encoding is not read.
  for (const char* length : {"abc", "0"}) {
    RefPtr<Request> r = Feed(std::string("PUT /p HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: ") + length +
                             "\r\n\r\n");
    EXPECT_TRUE(r->IsComplete()) << length;
    EXPECT_EQ(0, r->GetContentLength());
  }
  // A length that cannot be reserved ends the request as complete.
  RefPtr<Request> negative = Feed("POST /p HTTP/1.1\r\nContent-Length: -1\r\n\r\n");
  EXPECT_TRUE(negative->IsComplete());
  EXPECT_TRUE(log_->Has(Log_Severe, "Failed to reserve 4294967295 bytes for body data of HTTP request"));

  // Over the in-memory cap (and past the int range): rejected, not answered.
  for (const char* length : {"16777217", "99999999999"}) {
    RefPtr<Request> r = Feed(std::string("POST /p HTTP/1.1\r\nContent-Length: ") + length + "\r\n\r\n");
    EXPECT_TRUE(r->IsRejected()) << length;
    EXPECT_FALSE(r->IsComplete());
  }
  EXPECT_TRUE(log_->Has(Log_Warning, "Closing HTTP connection: request body too large"));
}

TEST_F(HttpRequestTest, RequestLineIsReadAsTheCScannerReadsIt) {
  RefPtr<Request> head = Feed("HEAD /api/discover HTTP/1.1\r\n\r\n");
  EXPECT_EQ("UNSUPPORTED", head->GetRequestType());
  EXPECT_EQ("", head->GetRequestUri());

  RefPtr<Request> longTarget = Feed("GET /" + std::string(4999, 'a') + " HTTP/1.1\r\n\r\n");
  EXPECT_EQ(4095u, longTarget->GetRequestUri().size());

  // A NUL ends the line; a 300-character method is cut and unsupported.
  RefPtr<Request> nul = Feed(std::string("GET /a\0b HTTP/1.1\r\n\r\n", 21));
  EXPECT_EQ("/a", nul->GetRequestUri());
  RefPtr<Request> method = Feed(std::string(300, 'G') + " / HTTP/1.1\r\n\r\n");
  EXPECT_EQ("UNSUPPORTED", method->GetRequestType());

  EXPECT_EQ("%", Request::UrlDecode("%"));
  EXPECT_EQ("%4", Request::UrlDecode("%4"));
  EXPECT_EQ(std::string(1, '\0'), Request::UrlDecode("%zz"));
  EXPECT_EQ("a b/", Request::UrlDecode("a+b%2f"));
}

TEST_F(HttpRequestTest, HeaderBlockIsCappedAndFoundAcrossChunkEdges) {
  RefPtr<Request> straddle(new Request(), false);
  straddle->AppendBytes("GET / HTTP/1.1\r\n\r");
  EXPECT_FALSE(straddle->HeadersParsed());
  straddle->AppendBytes("\nrest");
  EXPECT_TRUE(straddle->IsComplete());

  RefPtr<Request> huge(new Request(), false);
  std::string filler = "X-Filler: " + std::string(1000, 'f') + "\r\n";
  int result = 0;
  std::string first = "GET / HTTP/1.1\r\n";
  result = huge->AppendBytes(first);
  for (int i = 0; i < 70 && result == 0; ++i) result = huge->AppendBytes(filler);
  EXPECT_EQ(Result_Fail, result);
  EXPECT_TRUE(huge->IsRejected());
  EXPECT_EQ(Result_Fail, huge->AppendBytes("\r\n\r\n"));
  EXPECT_TRUE(log_->Has(Log_Warning, "Closing HTTP connection: request header block too large"));
}

TEST_F(HttpRequestTest, JsonBodiesAreParsedWithoutRecursion) {
  auto post = [](const std::string& json) {
    return Feed("POST /api HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
                std::to_string(json.size()) + "\r\n\r\n" + json);
  };
  RefPtr<Request> bom = post("\xEF\xBB\xBF{\"a\":[1,{\"b\":null}]}");
  bom->SetRootUri("/api");
  EXPECT_EQ(R"({"a":[1,{"b":null}]})", Json(bom->GetParameters()));

  RefPtr<Request> bad = post("{\"a\":");
  bad->SetRootUri("/api");
  EXPECT_EQ("{}", Json(bad->GetParameters()));

  // Deep enough to overflow any recursive parser's stack.
  RefPtr<Request> deep = post(std::string(1000000, '[') + std::string(1000000, ']'));
  deep->SetRootUri("/api");
  EXPECT_TRUE(deep->GetParameters().IsArray());
}

TEST_F(HttpRequestTest, MultipartBodiesAreSpooledAndPartsStayInsideTheSpoolFolder) {
  const std::string boundary = "XyZ";
  auto multipart = [&](const std::string& parts) {
    return "POST /api/up HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=" + boundary +
           "\r\nContent-Length: " + std::to_string(parts.size()) + "\r\n\r\n" + parts;
  };
  std::string upload(10000, '\0');
  for (size_t i = 0; i < upload.size(); ++i) upload[i] = static_cast<char>(i * 7);
  // Content that nearly matches the delimiter must be kept whole.
  upload += "\r\n--XyX\r\n--Xy\r\n-";
  const std::string parts =
      "--XyZ\r\nContent-Disposition: form-data; name=\"field\"\r\n\r\nvalue 1\r\n"
      "--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"up load(1).bin\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n" +
      upload +
      "\r\n--XyZ\r\nContent-Disposition: form-data; name=\"meta\"\r\nContent-Type: application/json\r\n\r\n"
      "{\"x\":1,\"y\":\"z\"}\r\n--XyZ--\r\n";
  std::string folder;
  {
    RefPtr<Request> request = Feed(multipart(parts), 777);
    ASSERT_TRUE(request->IsComplete());
    folder = request->GetSpoolFolder();
    EXPECT_TRUE(log_->Has(Log_Information, "Writing body data to " + folder + "/body.data"));
    EXPECT_TRUE(log_->Has(Log_Information, "size >= m_contentLength ( " + std::to_string(parts.size()) + " >= " +
                                               std::to_string(parts.size()) + " ) so marking request as complete."));
    EXPECT_EQ(parts.size(), Request::TotalSpooledBytes());
    request->SetRootUri("/api");
    const std::string path = folder + "/up load(1).bin";
    EXPECT_EQ(R"({"field":"value 1","file":")" + path + R"(","x":1,"y":"z"})", Json(request->GetParameters()));
    // The extracted file counts against the spool's total beside the body.
    EXPECT_EQ(parts.size() + upload.size(), Request::TotalSpooledBytes());
    std::ifstream in(path, std::ios::binary);
    std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(upload == written) << written.size();
  }
  // Gone with its request.
  EXPECT_FALSE(std::filesystem::exists(folder));
  EXPECT_EQ(0u, Request::TotalSpooledBytes());

  // Names that would leave the folder end the parse; names of the spool
  // file or of folders refuse only their own part.
  for (const char* name : {"../x", "a/b", "body.data", ".", ".."}) {
    RefPtr<Request> request =
        Feed(multipart("--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"" + std::string(name) +
                       "\"\r\n\r\nevil\r\n--XyZ\r\nContent-Disposition: form-data; name=\"g\"\r\n\r\nlater\r\n--XyZ--\r\n"));
    request->SetRootUri("/api");
    const bool refusedAlone = std::string(name).find('/') == std::string::npos;
    EXPECT_EQ(refusedAlone ? R"({"g":"later"})" : "{}", Json(request->GetParameters())) << name;
    EXPECT_TRUE(log_->Has(Log_Severe, std::string("Invalid filename in POST data, failed to process: ") + name));
    EXPECT_FALSE(std::filesystem::exists(request->GetSpoolFolder() + "/../x"));
  }
  // No boundary: no parameters. An empty file name is a plain field; a part
  // cut inside its headers ends the parse.
  RefPtr<Request> noBoundary = Feed(
      "POST /api HTTP/1.1\r\nContent-Type: multipart/form-data\r\nContent-Length: 5\r\n\r\n--XyZ");
  noBoundary->SetRootUri("/api");
  EXPECT_EQ("{}", Json(noBoundary->GetParameters()));
  RefPtr<Request> cut = Feed(multipart(
      "--XyZ\r\nContent-Disposition: form-data; name=\"e\"; filename=\"\"\r\n\r\nplain\r\n"
      "--XyZ\r\nContent-Disposition: form-data; name=\"h\"\r\nContent-Type: text/plain"));
  cut->SetRootUri("/api");
  EXPECT_EQ(R"({"e":"plain"})", Json(cut->GetParameters()));
}

std::string MultipartRequest(const std::string& parts) {
  return "POST /api/up HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: " +
         std::to_string(parts.size()) + "\r\n\r\n" + parts;
}

std::string Part(const std::string& name, const std::string& content, const std::string& fileName = "") {
  return "--XyZ\r\nContent-Disposition: form-data; name=\"" + name + "\"" +
         (fileName.empty() ? "" : "; filename=\"" + fileName + "\"") + "\r\n\r\n" + content + "\r\n";
}

// Every part may cost a file and a member: past the bound the parse stops
// with one Warning and the parts before it stay. A file name given again
// holds the last part's content.
TEST_F(HttpRequestTest, AMultipartBodyPastItsPartBoundStopsWithTheParametersSoFar) {
  std::string parts = Part("up", "a longer first content", "same.bin") + Part("up", "x", "same.bin");
  for (size_t i = 2; i < Request::kMaxMultipartParts + 5; ++i) parts += Part("f" + std::to_string(i), "v");
  RefPtr<Request> request = Feed(MultipartRequest(parts + "--XyZ--\r\n"));
  request->SetRootUri("/api");
  const rapidjson::Document& parameters = request->GetParameters();
  ASSERT_EQ(Request::kMaxMultipartParts, parameters.MemberCount());
  const std::string path = request->GetSpoolFolder() + "/same.bin";
  EXPECT_EQ(path, parameters.MemberBegin()[1].value.GetString());
  EXPECT_EQ("f999", std::string(parameters.MemberBegin()[999].name.GetString()));
  EXPECT_TRUE(log_->Has(Log_Warning, "Multipart body has more than 1000 parts; parsing stopped with 1000 parameters"));
  std::ifstream in(path, std::ios::binary);
  std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ("x", written);
}

// Once the server is stopping, parsing gives up instead of holding up the
// thread that the stop waits for.
TEST_F(HttpRequestTest, ACancelledRequestStopsParsingItsParameters) {
  auto stopping = std::make_shared<std::atomic<bool>>(true);
  RefPtr<Request> multipart = Feed(MultipartRequest(Part("a", "1") + Part("b", "2", "b.bin") + "--XyZ--\r\n"));
  multipart->SetCancelFlag(stopping);
  multipart->SetRootUri("/api");
  EXPECT_EQ("{}", Json(multipart->GetParameters()));
  EXPECT_TRUE(log_->Has(Log_Information, "Server stopping; parsing of the multipart body ended with 0 parameters"));

  std::string pairs;
  for (int i = 0; i < 10000; ++i) pairs += "a=1&";
  RefPtr<Request> form = Feed("POST /api HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                              "Content-Length: " + std::to_string(pairs.size()) + "\r\n\r\n" + pairs);
  form->SetCancelFlag(stopping);
  form->SetRootUri("/api");
  EXPECT_LT(form->GetParameters().MemberCount(), 10000u);
}

// A link planted where a request's spool folder is to be made is refused:
// the body is not written into what it points to.
TEST_F(HttpRequestTest, ASpoolFolderPlantedAsALinkIsNotWrittenThrough) {
  RefPtr<Request> request(new Request(), false);
  const std::filesystem::path folder = request->GetSpoolFolder();
  const std::filesystem::path victim = folder.parent_path() / "victim";
  std::filesystem::create_directories(victim);
  std::filesystem::create_directory_symlink(victim, folder);
  EXPECT_EQ(0, request->AppendBytes(MultipartRequest(Part("a", "1"))));
  EXPECT_TRUE(request->IsComplete());
  EXPECT_TRUE(log_->Has(Log_Severe, "Failed to open file for body data: "));
  EXPECT_TRUE(std::filesystem::is_empty(victim));
  std::filesystem::remove(folder);
  std::filesystem::remove(victim);
}

// Each pair of a form body costs far more than its three bytes: past the
// request's bound the parse stops once, with what it gathered, and nothing is
// charged once the request is gone.
TEST_F(HttpRequestTest, ARefusedBodyDoesNotCrashAndKeepsWhatWasParsed) {
  std::string pairs;
  while (pairs.size() < (1 << 20)) pairs += "a=&";
  const std::string head = "POST /api HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: ";
  {
    RefPtr<Request> request = Feed(head + std::to_string(pairs.size()) + "\r\n\r\n" + pairs);
    ASSERT_TRUE(request->IsComplete());
    request->SetRootUri("/api");
    const size_t members = request->GetParameters().MemberCount();
    EXPECT_GT(members, 1000u);
    EXPECT_LT(members, pairs.size() / 3);
    EXPECT_LE(Request::TotalParameterBytes(),
              Request::kParameterBaseBytes + Request::kParameterBytesPerBodyByte * (pairs.size() + 4));
    EXPECT_TRUE(log_->Has(Log_Warning, "Request parameters passed their memory bound; parsing stopped with"));
  }
  EXPECT_EQ(0u, Request::TotalParameterBytes());

  // A JSON text that would cost more than its bound is not parsed at all.
  const std::string nested(1 << 20, '[');
  RefPtr<Request> json = Feed("POST /api HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
                              std::to_string(nested.size()) + "\r\n\r\n" + nested);
  json->SetRootUri("/api");
  EXPECT_EQ("{}", Json(json->GetParameters()));
}

// A header value may hold a line feed, a tab or an escape sequence: in the
// log line they are replaced, so no line or field can be forged.
TEST_F(HttpRequestTest, AControlCharacterInAHeaderIsReplacedInTheLog) {
  // On a thread of its own: earlier tests' lines from the same place may
  // have reached the logger's repeat limit on this one.
  RefPtr<Request> request;
  std::thread([&] { request = Feed("GET /a\x1b[2J HTTP/1.1\r\nContent-type: x\ny\tz\r\n\r\n"); }).join();
  ASSERT_TRUE(request->IsComplete());
  EXPECT_TRUE(log_->Has(Log_Information, "Recieved headers for request with requestType = 'GET' requestUri = "
                                         "'/a?[2J' Content-Length =  Content-type = x?y?z"));
  std::string value;
  ASSERT_EQ(0, request->GetHeader("Content-type", &value));
  EXPECT_EQ("x\ny\tz", value);
}

// --- The server's fixed bytes and handler lookup ---------------------------

class CountingHandler final : public HttpServer::IUriHandler, public IRefCountImpl {};

TEST_F(HttpRequestTest, ServerBytesAndHandlerLookup) {
  std::string notFound(HttpServer::kNotFoundResponse, HttpServer::kNotFoundResponseLength);
  EXPECT_EQ(95u, notFound.size());
  RefPtr<IDataStream> stream;
  ASSERT_EQ(0, CreateDataStream(stream.Receive()));
  EXPECT_EQ(0, HttpServer::WriteNotFound(stream.Get()));
  uint32_t size = 0;
  stream->GetSize(&size);
  EXPECT_EQ(95u, size);

  // 1994-11-06 08:49:37 UTC, a Sunday.
  EXPECT_EQ("Sun, 06 Nov 1994 08:49:37 GMT", HttpServer::FormatHttpDate(784111777));
  EXPECT_EQ(
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nAccess-Control-Allow-Origin: *\r\n"
      "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\nServer: Talvenor 2.0\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
      "Connection: close\r\nContent-Length: 15\r\n\r\n",
      HttpServer::BuildResponseHead("Content-Type: application/json\r\nAccess-Control-Allow-Origin: *\r\n", 15,
                                    784111777));

  RefPtr<HttpServer> server(new HttpServer(0, 0), false);
  RefPtr<CountingHandler> api(new CountingHandler(), false), root(new CountingHandler(), false),
      replacement(new CountingHandler(), false);
  EXPECT_EQ(0, server->RegisterHandler("/api", api.Get()));
  EXPECT_EQ(0, server->RegisterHandler("/", root.Get()));
  EXPECT_EQ(0, server->RegisterHandler("/null", nullptr));
  auto locate = [&](const std::string& uri) -> std::pair<HttpServer::IUriHandler*, std::string> {
    HttpServer::IUriHandler* found = nullptr;
    std::string key;
    if (server->LocateHandler(uri, &found, &key) < 0) return {nullptr, ""};
    found->Release();
    return {found, key};
  };
  EXPECT_EQ(locate("/api/discover?x").first, api.Get());
  EXPECT_EQ(locate("/api/discover?x").second, "/api");
  EXPECT_EQ(locate("/api").first, api.Get());
  EXPECT_EQ(locate("/").first, root.Get());
  EXPECT_EQ(locate("/favicon.ico").first, nullptr);
  EXPECT_EQ(locate("").first, nullptr);
  EXPECT_EQ(locate("/apix").first, nullptr);
  EXPECT_EQ(locate("/null").first, nullptr);
  EXPECT_EQ(locate(HttpServer::kFileNotFoundKey).first, nullptr);

  EXPECT_EQ(0, server->RegisterHandler("/api", replacement.Get()));
  EXPECT_EQ(locate("/api/x").first, replacement.Get());
  EXPECT_EQ(1, api->GetRefCount());  // the server let go of the first
  EXPECT_TRUE(server->IsLiveHandler(api.Get()));

  RefPtr<IDataStream> body;
  ASSERT_EQ(0, CreateDataStream(body.Receive()));
  std::string headers;
  EXPECT_TRUE(api->HandleRequest(nullptr, body.Get(), &headers));
  EXPECT_EQ("Content-Type: text/html\r\n", headers);
  body->GetSize(&size);
  EXPECT_EQ(sizeof(HttpServer::kDefaultHandlerBody) - 1, size);
  HttpServer::IUriHandler::Continuation* continuation = nullptr;
  EXPECT_FALSE(api->HandleStreamingRequest(nullptr, body.Get(), &continuation));
}

}  // namespace
}  // namespace corvane
