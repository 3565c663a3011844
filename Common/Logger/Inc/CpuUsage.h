// The process's share of the machine's processor time, sampled at most
// every 250 ms. Safe from any thread: one caller samples while the others
// get the cached value without waiting.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace corvane {

// Processor times in clock ticks. system* cover the whole machine (idle
// included in kernel), process* this process.
struct CpuTimes {
  uint64_t systemKernel = 0;
  uint64_t systemUser = 0;
  uint64_t processKernel = 0;
  uint64_t processUser = 0;
};

// The "cpu" line of /proc/stat: user+nice as user time; system, idle,
// iowait, irq, softirq and steal as kernel time (guest time is already part
// of user time). False when the line is missing or malformed.
bool ParseProcStat(const std::string& text, uint64_t* kernel, uint64_t* user);
// utime and stime of /proc/<pid>/stat (the command name may hold spaces and
// parentheses). False when malformed.
bool ParseProcSelfStat(const std::string& text, uint64_t* kernel, uint64_t* user);
// Both files read now; false when either cannot be read or parsed.
bool ReadCpuTimes(CpuTimes* out);

class CpuUsage {
 public:
  using TimesReader = std::function<bool(CpuTimes*)>;

  // reader supplies the times (tests); empty reads /proc.
  explicit CpuUsage(TimesReader reader = {});

  // Percentage of all processors together: -1 until a second sample more
  // than 250 ms after the first; otherwise the latest computed value.
  int16_t GetUsage();

 private:
  TimesReader reader_;
  CpuTimes previous_;
  std::atomic<int16_t> usage_{-1};
  uint64_t lastSampleTick_ = 0;
  std::atomic<int32_t> busy_{0};
};

}  // namespace corvane
