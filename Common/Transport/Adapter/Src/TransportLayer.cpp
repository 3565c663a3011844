#include "TransportLayer.h"

#include <limits>

#include "PerformanceTimer.h"
#include "Scheduler.h"

namespace corvane {

namespace {

class SystemLayerClock final : public ILayerClock {
 public:
  int64_t MonotonicMs() override { return QueryPerformanceCounter() / (kPerformanceFrequency / 1000); }
  int64_t UtcMs() override { return CurrentUtcTimeMs(); }
};

}  // namespace

ILayerClock* GetSystemLayerClock() {
  static SystemLayerClock* clock = new SystemLayerClock();
  return clock;
}

bool PeekLayerRecordType(IDataStream* stream, uint8_t* type) {
  uint32_t position = 0;
  if (stream->GetPosition(&position) < 0) return false;
  if (stream->ReadUInt8(type) < 0) return false;
  stream->Seek(position);
  return true;
}

uint32_t RemainingBytes(IDataStream* stream) {
  uint32_t position = 0;
  uint32_t size = 0;
  if (stream->GetPosition(&position) < 0 || stream->GetSize(&size) < 0 || size < position) return 0;
  return size - position;
}

void ConsumeLayerRecord(IDataStream** message) {
  if (*message) (*message)->Release();
  *message = nullptr;
}

int64_t SaturatingAdd(int64_t a, int64_t b) {
  int64_t out = 0;
  if (!__builtin_add_overflow(a, b, &out)) return out;
  return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

int64_t SaturatingSub(int64_t a, int64_t b) {
  int64_t out = 0;
  if (!__builtin_sub_overflow(a, b, &out)) return out;
  return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

}  // namespace corvane
