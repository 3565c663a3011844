#include "PerformanceTimer.h"

#include <utility>

#include "FileIo.h"

namespace corvane {

static_assert(kPerformanceFrequency == 1000000000, "the counter ticks in nanoseconds");

int64_t QueryPerformanceCounter() { return platform::MonotonicNanoseconds(); }

void LogPerformanceTimer::Window::Add(double ms) {
  ++count;
  total += ms;
  if (minimum < 0.0 || ms < minimum) minimum = ms;
  if (ms > maximum) maximum = ms;
}

void LogPerformanceTimer::Window::Reset() {
  count = 0;
  total = 0.0;
  minimum = -1.0;
  maximum = -1.0;
}

LogPerformanceTimer::LogPerformanceTimer(std::string name, uint32_t logPeriod, uint32_t statsPeriod,
                                         bool logStartEnd, bool useInformationLevel)
    : logPeriod_(logPeriod),
      name_(std::move(name)),
      logStartEnd_(logStartEnd),
      useInformationLevel_(useInformationLevel),
      statsPeriod_(statsPeriod) {}

LogPerformanceTimer::~LogPerformanceTimer() {
  try {
    End();
  } catch (...) {
  }
}

LogRecord LogPerformanceTimer::Log() const {
  if (useInformationLevel_) {
    return LogRecord(Log_Information, 0, "Common/Logger/Src/Logger", 603, "LogPerformanceTimer::Log");
  }
  return LogRecord(Log_Spew, 1, "Common/Logger/Src/Logger", 603, "LogPerformanceTimer::Log");
}

double LogPerformanceTimer::MsSinceFirstStart(int64_t now) const {
  return static_cast<double>(now - firstStart_) * 1000.0 / static_cast<double>(kPerformanceFrequency);
}

void LogPerformanceTimer::Start() {
  int64_t now = QueryPerformanceCounter();
  if (firstStart_ == 0) firstStart_ = now;
  if (logStartEnd_) {
    // The name is an argument, never part of the format.
    LogRecord record = Log();
    if (record.IsEnabled()) {
      record.Print("%s START TIMESTAMP - Number %d - Time %.2f ", name_.c_str(), static_cast<int>(sampleNumber_),
                   MsSinceFirstStart(now));
    }
  }
  lastStart_ = now;
}

void LogPerformanceTimer::End() {
  int64_t now = QueryPerformanceCounter();
  if (logStartEnd_) {
    LogRecord record = Log();
    if (record.IsEnabled()) {
      record.Print("%s END TIMESTAMP - Number %d - Time %.2f ", name_.c_str(), static_cast<int>(sampleNumber_),
                   MsSinceFirstStart(now));
    }
  }
  AddSample(static_cast<double>(now - lastStart_) * 1000.0 / static_cast<double>(kPerformanceFrequency));
}

void LogPerformanceTimer::AddSample(double ms) {
  stats_.Add(ms);
  if (statsPeriod_ != 0 && stats_.count >= statsPeriod_) {
    const int64_t source = static_cast<int64_t>(reinterpret_cast<intptr_t>(this));
    ReportStatistic(source, name_ + ": average (ms)", stats_.total / stats_.count);
    ReportStatistic(source, name_ + ": minimum (ms)", stats_.minimum);
    ReportStatistic(source, name_ + ": maximum (ms)", stats_.maximum);
    stats_.Reset();
  }
  log_.Add(ms);
  if (logPeriod_ != 0 && log_.count >= logPeriod_) {
    LogRecord record = Log();
    if (record.IsEnabled()) {
      record.Print("%s %f AVG - %f MIN - %f MAX", name_.c_str(), log_.total / log_.count, log_.minimum,
                   log_.maximum);
    }
    log_.Reset();
  }
  ++sampleNumber_;
}

}  // namespace corvane
