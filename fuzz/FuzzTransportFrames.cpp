// The transport's frame reader in each mode over peer bytes that arrive in
// fuzzer-chosen chunks: no crash, no over-read, every pass ends at the
// header state, and no block beyond what the peer actually sent is held
// (the run's allocation limit catches an announced length reserved up front).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "TransportFrameReader.h"
#include "TransportFrames.h"
#include "TransportTestSupport.h"

namespace {

class CheckingSink final : public corvane::ITransportFrameSink {
 public:
  void OnMessage(const corvane::UUID&, corvane::IDataStream* data) override {
    uint32_t size = 0;
    if (data->GetSize(&size) != 0 || size > corvane::kMaxMessageBody + 16) std::abort();
    std::string bytes(size, '\0');
    if (data->Read(bytes.data(), size) != 0) std::abort();
  }
  void OnKeepAliveSettings(std::optional<uint32_t>, std::optional<uint32_t>) override {}
  void OnKeepAlive() override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const int modeIndex = provider.ConsumeIntegralInRange<int>(0, 2);
  const corvane::TransportMode mode = modeIndex == 0   ? corvane::kBinaryTransportMode
                                      : modeIndex == 1 ? corvane::kTextTransportMode
                                                       : corvane::kRawTransportMode;
  std::vector<size_t> chunks(provider.ConsumeIntegralInRange<size_t>(0, 32));
  for (size_t& c : chunks) c = provider.ConsumeIntegralInRange<size_t>(1, 64);
  corvane::test::ChunkedByteSource source(provider.ConsumeRemainingBytesAsString(), chunks);
  CheckingSink sink;
  corvane::TransportFrameReader reader(mode, source, sink);
  for (int pass = 0; pass < 100000 && !source.Exhausted(); ++pass) {
    const size_t before = source.Position();
    const bool allArrived = source.AllArrived();
    reader.ReadPass();
    if (reader.ReadState() != corvane::MESSAGE_HEADER_READ) std::abort();
    if (allArrived && source.Position() == before) break;
  }
  return 0;
}
