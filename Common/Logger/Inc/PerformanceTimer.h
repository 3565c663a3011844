// Times a repeated operation with the performance counter and reports the
// average, minimum and maximum duration every so many samples.
//
// Not locked: each timer belongs to one owner and is used by one thread at a
// time. Owners that run on several threads (one transport per listener, for
// example) keep one timer each.
#pragma once

#include <cstdint>
#include <string>

#include "Logger.h"

namespace corvane {

// The monotonic performance counter in nanoseconds, and its frequency.
int64_t QueryPerformanceCounter();
constexpr int64_t kPerformanceFrequency = 1000000000;

class LogPerformanceTimer {
 public:
  // logPeriod: samples per summary line (0: none); statsPeriod: samples per
  // statistics report (0: none); logStartEnd: a line at every Start and End;
  // useInformationLevel: lines at Information, verbosity 0 (else Spew, 1).
  LogPerformanceTimer(std::string name, uint32_t logPeriod, uint32_t statsPeriod, bool logStartEnd,
                      bool useInformationLevel);
  // Ends the current measurement (a timer never started adds one sample
  // measured from counter 0).
  ~LogPerformanceTimer();
  LogPerformanceTimer(const LogPerformanceTimer&) = delete;
  LogPerformanceTimer& operator=(const LogPerformanceTimer&) = delete;

  void Start();
  // Adds the milliseconds since the latest Start as a sample.
  void End();
  void AddSample(double ms);
  // The record every line of the timer is written through.
  LogRecord Log() const;

  uint32_t SampleNumber() const { return sampleNumber_; }
  const std::string& Name() const { return name_; }

 private:
  struct Window {
    uint32_t count = 0;
    double total = 0.0;
    double minimum = -1.0;
    double maximum = -1.0;
    void Add(double ms);
    void Reset();
  };

  double MsSinceFirstStart(int64_t now) const;

  int64_t lastStart_ = 0;
  int64_t firstStart_ = 0;
  uint32_t logPeriod_;
  uint32_t sampleNumber_ = 0;
  std::string name_;
  bool logStartEnd_;
  bool useInformationLevel_;
  uint32_t statsPeriod_;
  Window stats_;
  Window log_;
};

}  // namespace corvane
