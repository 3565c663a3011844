// HTTP requests from untrusted clients, delivered in random chunks. Whatever
// arrives, nothing may be written outside the request's own spool folder,
// and the folder must be gone once the request is.
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "DataStream.h"
#include "HttpRequest.h"

using corvane::IDataStream;
using corvane::RefPtr;
using Request = corvane::HttpServer::IUriHandler::Request;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

std::string DataRoot() {
  static std::string root = [] {
    char pattern[] = "/tmp/fuzz-http-request-XXXXXX";
    Check(mkdtemp(pattern) != nullptr);
    setenv("CORVANE_DATA_ROOT", pattern, 1);
    return std::string(pattern);
  }();
  return root;
}

// Every file under the data root lies inside `folder`.
void CheckFilesInside(const std::string& folder) {
  namespace fs = std::filesystem;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(DataRoot(), error); !error && it != fs::end(it);
       it.increment(error)) {
    if (it->is_directory()) continue;
    Check(!folder.empty() && it->path().string().rfind(folder + "/", 0) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DataRoot();
  if (size < 2) return 0;
  // First byte: chunking seed; second: bit 0 puts a multipart head in front
  // so that the spool and part parser are reached at once.
  uint32_t seed = data[0] | 1u;
  std::string text;
  if (data[1] & 1) {
    text = "POST /api/up HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=B\r\nContent-Length: " +
           std::to_string(size - 2) + "\r\n\r\n";
  }
  text.append(reinterpret_cast<const char*>(data) + 2, size - 2);

  std::string folder;
  {
    RefPtr<Request> request(new Request(), false);
    for (size_t at = 0; at < text.size();) {
      seed = seed * 1103515245u + 12345u;
      size_t chunk = 1 + (seed >> 16) % 64;
      if (chunk > text.size() - at) chunk = text.size() - at;
      IDataStream* raw = nullptr;
      Check(corvane::CreateDataStream(&raw) == 0);
      RefPtr<IDataStream> stream(raw, false);
      stream->WriteString(text.substr(at, chunk));
      request->AppendData(stream.Get());
      at += chunk;
    }
    folder = request->GetSpoolFolder();
    if (request->IsComplete()) {
      request->SetRootUri("/api");
      std::string value;
      request->GetHeader("Content-type", &value);
    }
    CheckFilesInside(folder);
  }
  Check(!std::filesystem::exists(folder));
  Check(Request::TotalSpooledBytes() == 0);
  return 0;
}
