// Hand-run figures for the byte streams and UUIDs:
//   1 MiB written and read back in 4-byte items, with each stream kind;
//   std::map<UUID, int> insert and find of 10k keys;
//   UUID::ToString calls per second.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "DataStream.h"
#include "DataStreamV1.h"
#include "Result.h"
#include "Uuid.h"

using namespace corvane;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

constexpr uint32_t kBytes = 1 << 20;
constexpr uint32_t kItems = kBytes / 4;
constexpr int kRounds = 20;

volatile uint64_t sink;

void BenchDataStream() {
  double writeSeconds = 0, readSeconds = 0;
  size_t buffers = 0;
  for (int round = 0; round < kRounds; ++round) {
    IDataStream* raw = nullptr;
    CreateDataStream(&raw);
    RefPtr<IDataStream> s(raw, false);
    auto start = Clock::now();
    for (uint32_t i = 0; i < kItems; ++i) s->WriteUInt32(i);
    writeSeconds += Seconds(start);
    std::vector<uint32_t> capacities;
    GetDataStreamBufferCapacities(s.Get(), &capacities);
    buffers = capacities.size();
    start = Clock::now();
    uint64_t sum = 0;
    uint32_t value = 0;
    for (uint32_t i = 0; i < kItems; ++i) {
      s->ReadUInt32(&value);
      sum += value;
    }
    readSeconds += Seconds(start);
    sink = sum;
  }
  std::printf("IDataStream    1 MiB in 4-byte items: write %7.2f ms (%6.0f MiB/s), read %7.2f ms (%6.0f MiB/s), %zu buffers\n",
              writeSeconds * 1000 / kRounds, kRounds / writeSeconds, readSeconds * 1000 / kRounds,
              kRounds / readSeconds, buffers);
}

void BenchDataStreamV1() {
  double writeSeconds = 0, readSeconds = 0;
  for (int round = 0; round < kRounds; ++round) {
    IDataStreamV1* raw = nullptr;
    CreateNetworkDataStreamV1(&raw);
    RefPtr<IDataStreamV1> s(raw, false);
    auto start = Clock::now();
    for (uint32_t i = 0; i < kItems; ++i) s->WriteUInt32(i);
    writeSeconds += Seconds(start);
    start = Clock::now();
    uint64_t sum = 0;
    uint32_t value = 0;
    for (uint32_t i = 0; i < kItems; ++i) {
      s->ReadUInt32(&value);
      sum += value;
    }
    readSeconds += Seconds(start);
    sink = sum;
  }
  std::printf("IDataStreamV1  1 MiB in 4-byte items: write %7.2f ms (%6.0f MiB/s), read %7.2f ms (%6.0f MiB/s)\n",
              writeSeconds * 1000 / kRounds, kRounds / writeSeconds, readSeconds * 1000 / kRounds,
              kRounds / readSeconds);
}

void BenchUuidMap() {
  constexpr int kKeys = 10000;
  std::vector<UUID> keys(kKeys);
  for (UUID& k : keys) k.Generate();
  std::vector<UUID> probes = keys;
  std::shuffle(probes.begin(), probes.end(), std::mt19937(42));

  double insertSeconds = 0, findSeconds = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::map<UUID, int> map;
    auto start = Clock::now();
    for (int i = 0; i < kKeys; ++i) map.emplace(keys[i], i);
    insertSeconds += Seconds(start);
    start = Clock::now();
    uint64_t found = 0;
    for (const UUID& p : probes) found += map.find(p)->second;
    findSeconds += Seconds(start);
    sink = found;
  }
  std::printf("std::map<UUID> 10k keys: insert %6.2f ms (%5.0f ns/key), find %6.2f ms (%5.0f ns/key)\n",
              insertSeconds * 1000 / kRounds, insertSeconds * 1e9 / kRounds / kKeys, findSeconds * 1000 / kRounds,
              findSeconds * 1e9 / kRounds / kKeys);
}

void BenchToString() {
  UUID u;
  u.Generate();
  constexpr int kCalls = 2000000;
  size_t total = 0;
  auto start = Clock::now();
  for (int i = 0; i < kCalls; ++i) {
    u.Data1 = static_cast<uint32_t>(i);
    total += u.ToString().size();
  }
  const double seconds = Seconds(start);
  sink = total;
  std::printf("UUID::ToString: %.2f M calls/s (%.0f ns/call)\n", kCalls / seconds / 1e6, seconds * 1e9 / kCalls);

  const std::string text = u.ToString();
  constexpr int kParses = 200000;
  start = Clock::now();
  uint32_t acc = 0;
  for (int i = 0; i < kParses; ++i) acc += UUID::Parse(text).Data2;
  const double parseSeconds = Seconds(start);
  sink = acc;
  std::printf("UUID::Parse:    %.2f M calls/s (%.0f ns/call)\n", kParses / parseSeconds / 1e6,
              parseSeconds * 1e9 / kParses);
}

}  // namespace

int main() {
  BenchDataStream();
  BenchDataStreamV1();
  BenchUuidMap();
  BenchToString();
  return 0;
}
