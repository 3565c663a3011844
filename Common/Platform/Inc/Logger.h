// The process-wide structured logger.
//
// A call site makes a short-lived LogRecord with its level, verbosity, file,
// line and function; the record asks the logger once whether that pair is
// enabled, and only then formats and writes. A disabled record costs no
// formatting, no clock read and no lock. Write applies a per-place rate limit
// and hands the line to every registered store.
#pragma once

#include <cstdint>
#include <string>

#include "RefCount.h"

namespace corvane {

enum LogFlags : uint32_t {
  Log_Config = 1,
  Log_Information = 2,
  Log_Warning = 4,
  Log_Severe = 8,
  Log_Spew = 16,
  Log_All = 0xFFFFFFFFu,
};

// Each label is exactly 15 characters.
inline constexpr char kLabelConfig[] = "* Config      *";
inline constexpr char kLabelInformation[] = "* Information *";
inline constexpr char kLabelWarning[] = "* Warning     *";
inline constexpr char kLabelSevere[] = "* Severe      *";
inline constexpr char kLabelSpew[] = "* Spew        *";
inline constexpr char kLabelAll[] = "* All         *";

// The label of a level flag; an unknown flag gives an empty text.
const char* LogFlagLabel(uint32_t levelFlags);

class ILogStore : public virtual IRefCount {
 public:
  virtual void Write(uint32_t levelFlags, const std::string& file, const std::string& function, int64_t timeMs,
                     uint32_t threadId, int line, const std::string& message) = 0;
};

class ILogger : public virtual IRefCount {
 public:
  // Replaces an entry for the same store, then appends it (one reference).
  virtual int AddStore(ILogStore* store) = 0;
  virtual int RemoveStore(ILogStore* store) = 0;
  virtual int IsEnabled(uint32_t levelFlags, uint32_t verbosity, bool* out) = 0;
  virtual int SetMask(uint32_t mask) = 0;
  virtual int GetMask(uint32_t* out) = 0;
  virtual int SetLevel(uint32_t level) = 0;
  virtual int GetLevel(uint32_t* out) = 0;
  virtual int Write(uint32_t levelFlags, const std::string& file, const std::string& function, int64_t timeMs,
                    uint32_t threadId, int line, const std::string& message, bool bypassRateLimit) = 0;
};

// The singleton, created on first use and never destroyed. Adds a reference
// for the caller; returns 0.
int GetLogger(ILogger** out);
// The singleton without a reference, for hot paths: never null, and after
// the first call a single atomic load (no lock).
ILogger* GetLoggerInstance();

using StatisticCallback = void (*)(int64_t source, const std::string& name, double value);
void SetStatisticCallback(StatisticCallback callback);
void ReportStatistic(int64_t source, const std::string& name, double value);

// A source path as log lines name it: the tree-relative path without its
// extension ("DiscoveryService/Src/DiscoveryServicePersistent"), the form the
// service's own named log sites use.
std::string SourcePathForLog(const char* file);

// "int corvane::Foo::Bar(int)" -> "corvane::Foo::Bar".
std::string QualifiedFunctionName(const char* prettyFunction);

class LogRecord {
 public:
  // function is the compiler's __PRETTY_FUNCTION__ or a qualified name; the
  // qualified name is derived only when a line is written.
  // Inline: a disabled call is one atomic load and one IsEnabled.
  LogRecord(uint32_t levelFlags, uint32_t verbosity, const char* file, int line, const char* function,
            bool bypassRateLimit = false)
      : logger_(GetLoggerInstance()),
        file_(file),
        line_(line),
        verbosity_(verbosity),
        levelFlags_(levelFlags),
        function_(function),
        bypassRateLimit_(bypassRateLimit),
        enabled_(false) {
    logger_->IsEnabled(levelFlags_, verbosity_, &enabled_);
  }
  ~LogRecord() = default;
  LogRecord(const LogRecord&) = delete;
  LogRecord& operator=(const LogRecord&) = delete;

  bool IsEnabled() const { return enabled_; }
  void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Returns result. Negative: Severe at the record's verbosity; otherwise
  // Spew at verbosity 3. Text "RETURN Result: 0x<hex> - <text>".
  int ReturnResult(int result, const char* format, ...) __attribute__((format(printf, 3, 4)));
  int ReturnResult(int result);

 private:
  void WriteMessage(const std::string& message);
  int SwitchForResult(int result);

  ILogger* logger_;
  const char* file_;
  int line_;
  uint32_t verbosity_;
  uint32_t levelFlags_;
  const char* function_;
  bool bypassRateLimit_;
  bool enabled_;
};

}  // namespace corvane

// Call-site helpers. LOG_RECORD declares a named record (for ReturnResult);
// the others print one line.
#define LOG_RECORD(var, flags, verbosity) \
  ::corvane::LogRecord var((flags), (verbosity), __FILE__, __LINE__, __PRETTY_FUNCTION__)
#define LOG_AT(flags, verbosity, ...)                                                          \
  do {                                                                                         \
    ::corvane::LogRecord corvane_log_record_((flags), (verbosity), __FILE__, __LINE__,         \
                                             __PRETTY_FUNCTION__);                             \
    if (corvane_log_record_.IsEnabled()) corvane_log_record_.Print(__VA_ARGS__);               \
  } while (0)
#define LOG_CONFIG(...) LOG_AT(::corvane::Log_Config, 0, __VA_ARGS__)
#define LOG_INFO(...) LOG_AT(::corvane::Log_Information, 0, __VA_ARGS__)
#define LOG_WARNING(...) LOG_AT(::corvane::Log_Warning, 0, __VA_ARGS__)
#define LOG_SEVERE(...) LOG_AT(::corvane::Log_Severe, 0, __VA_ARGS__)
#define LOG_SPEW(verbosity, ...) LOG_AT(::corvane::Log_Spew, (verbosity), __VA_ARGS__)
