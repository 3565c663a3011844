// Display records from peers, read with both stream kinds: both readers
// must agree on success and on every field, and a record that reads
// cleanly must write back exactly the bytes it was read from.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DataStream.h"
#include "DataStreamV1.h"
#include "DisplayInfo.h"
#include "Result.h"

using corvane::IDataStream;
using corvane::IDataStreamV1;
using corvane::RefPtr;
using DisplayInfo = corvane::talvenor::server::IDiscoveryService::DisplayInfo;

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  IDataStream* rawTyped = nullptr;
  IDataStreamV1* rawV1 = nullptr;
  Check(corvane::CreateDataStream(&rawTyped) == corvane::Result_Ok);
  Check(corvane::CreateNetworkDataStreamV1(&rawV1) == corvane::Result_Ok);
  RefPtr<IDataStream> typed(rawTyped, false);
  RefPtr<IDataStreamV1> v1(rawV1, false);
  Check(typed->Write(data, static_cast<uint32_t>(size)) == corvane::Result_Ok);
  Check(v1->Write(data, static_cast<uint32_t>(size)) == corvane::Result_Ok);

  DisplayInfo fromTyped, fromV1;
  fromTyped.secondaryName = fromV1.secondaryName = "kept";
  const int typedResult = fromTyped.Deserialize(typed.Get());
  const int v1Result = fromV1.Deserialize(v1.Get());
  Check((typedResult < 0) == (v1Result < 0));
  Check(fromTyped.secondaryName == "kept" && fromV1.secondaryName == "kept");
  // No string is longer than the input it came from.
  Check(fromTyped.name.size() + fromTyped.appData.size() <= size);
  Check(fromV1.name.size() + fromV1.appData.size() <= size);
  if (typedResult < 0) return 0;

  Check(fromTyped == fromV1);
  const size_t used = 34 + fromTyped.name.size() + fromTyped.appData.size();
  Check(used <= size);
  uint32_t position = 0;
  Check(typed->GetPosition(&position) == corvane::Result_Ok && position == used);

  IDataStreamV1* rawOut = nullptr;
  Check(corvane::CreateNetworkDataStreamV1(&rawOut) == corvane::Result_Ok);
  RefPtr<IDataStreamV1> out(rawOut, false);
  Check(fromV1.Serialize(out.Get()) == corvane::Result_Ok);
  std::string written;
  uint32_t length = 0;
  Check(out->ReadRemaining(&written, &length) == corvane::Result_Ok);
  Check(written.size() == used && std::memcmp(written.data(), data, used) == 0);
  return 0;
}
