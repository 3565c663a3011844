#include "CpuUsage.h"

#include <charconv>
#include <climits>
#include <sstream>

#include "ProcessStatistics.h"
#include "Scheduler.h"

namespace corvane {

namespace {

constexpr uint64_t kSampleIntervalMs = 250;

// Reads count unsigned decimal fields separated by blanks, starting at pos.
bool ReadFields(const std::string& text, size_t pos, uint64_t* fields, int count) {
  const char* p = text.data() + pos;
  const char* end = text.data() + text.size();
  for (int i = 0; i < count; ++i) {
    while (p < end && *p == ' ') ++p;
    auto res = std::from_chars(p, end, fields[i]);
    if (res.ec != std::errc() || res.ptr == p) return false;
    p = res.ptr;
    if (p < end && *p != ' ' && *p != '\n') return false;
  }
  return true;
}

}  // namespace

bool ParseProcStat(const std::string& text, uint64_t* kernel, uint64_t* user) {
  if (text.compare(0, 4, "cpu ") != 0) return false;
  // user nice system idle iowait irq softirq steal
  uint64_t f[8] = {};
  if (!ReadFields(text, 4, f, 8)) return false;
  *user = f[0] + f[1];
  *kernel = f[2] + f[3] + f[4] + f[5] + f[6] + f[7];
  return true;
}

bool ParseProcSelfStat(const std::string& text, uint64_t* kernel, uint64_t* user) {
  size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return false;
  // After "pid (comm) ": state is field 3; utime and stime are 14 and 15.
  std::istringstream in(text.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 13; ++i) {
    if (!(in >> field)) return false;
  }
  uint64_t utime = 0, stime = 0;
  std::string u, s;
  if (!(in >> u >> s)) return false;
  auto ru = std::from_chars(u.data(), u.data() + u.size(), utime);
  auto rs = std::from_chars(s.data(), s.data() + s.size(), stime);
  if (ru.ec != std::errc() || ru.ptr != u.data() + u.size()) return false;
  if (rs.ec != std::errc() || rs.ptr != s.data() + s.size()) return false;
  *user = utime;
  *kernel = stime;
  return true;
}

bool ReadCpuTimes(CpuTimes* out) {
  std::string text;
  if (!platform::ReadSystemCpuStat(&text) || !ParseProcStat(text, &out->systemKernel, &out->systemUser)) return false;
  if (!platform::ReadProcessCpuStat(&text) || !ParseProcSelfStat(text, &out->processKernel, &out->processUser)) {
    return false;
  }
  return true;
}

CpuUsage::CpuUsage(TimesReader reader) : reader_(std::move(reader)) {
  if (!reader_) reader_ = ReadCpuTimes;
}

int16_t CpuUsage::GetUsage() {
  if (busy_.fetch_add(1) == 0) {
    uint64_t now = GetDefaultScheduler()->GetTickCount64();
    CpuTimes times;
    if (now - lastSampleTick_ > kSampleIntervalMs && reader_(&times)) {
      if (lastSampleTick_ != 0) {
        // Counters that went backwards are odd content: no value this time.
        if (times.systemKernel >= previous_.systemKernel && times.systemUser >= previous_.systemUser &&
            times.processKernel >= previous_.processKernel && times.processUser >= previous_.processUser) {
          uint64_t system = (times.systemKernel - previous_.systemKernel) + (times.systemUser - previous_.systemUser);
          uint64_t process =
              (times.processKernel - previous_.processKernel) + (times.processUser - previous_.processUser);
          if (system != 0) {
            double percent = static_cast<double>(process) * 100.0 / static_cast<double>(system);
            if (percent > SHRT_MAX) percent = SHRT_MAX;
            usage_.store(static_cast<int16_t>(static_cast<int>(percent)));
          }
        }
      }
      previous_ = times;
      lastSampleTick_ = now;
    }
  }
  int16_t result = usage_.load();
  busy_.fetch_sub(1);
  return result;
}

}  // namespace corvane
