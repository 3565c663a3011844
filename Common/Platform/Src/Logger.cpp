#include "Logger.h"

#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <mutex>
#include <new>

#include "LoggerImpl.h"
#include "Result.h"
#include "Scheduler.h"
#include "StringUtils.h"
#include "ThreadAnnotations.h"

namespace corvane {

namespace {

// Holds the logger's fast mutex for a scope.
class FastLockGuard {
 public:
  explicit FastLockGuard(Scheduler::FastMutex* m) : m_(m) { m_->Lock(); }
  ~FastLockGuard() { m_->Unlock(); }
  FastLockGuard(const FastLockGuard&) = delete;
  FastLockGuard& operator=(const FastLockGuard&) = delete;

 private:
  Scheduler::FastMutex* m_;
};

// Guards creation of the singleton and the statistics callback. A constant-
// initialised mutex exists before any static initialiser can log. A leaf:
// the scheduler is set up before it is taken, and callbacks run outside it.
constinit CheckedMutex g_loggerMutex;
std::atomic<Logger*> g_logger{nullptr};
StatisticCallback g_statisticCallback GUARDED_BY(g_loggerMutex) = nullptr;

template <class Integer>
void AppendDecimal(std::string& out, Integer value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

bool IsIdentifierChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '}' ||
         c == '~';
}

// Start of the qualified name that ends just before `end`: walks back over
// template arguments (which may hold blanks) to the blank, '*' or '&' that
// ends the return type.
size_t QualifiedNameStart(std::string_view s, size_t end) {
  int depth = 0;
  size_t i = end;
  while (i > 0) {
    char c = s[i - 1];
    if (c == '>') {
      ++depth;
    } else if (c == '<') {
      if (depth > 0) --depth;
    } else if (depth == 0 && (c == ' ' || c == '*' || c == '&' || c == '(')) {
      break;
    }
    --i;
  }
  return i;
}

}  // namespace

const char* LogFlagLabel(uint32_t levelFlags) {
  switch (levelFlags) {
    case Log_Config:
      return kLabelConfig;
    case Log_Information:
      return kLabelInformation;
    case Log_Warning:
      return kLabelWarning;
    case Log_Severe:
      return kLabelSevere;
    case Log_Spew:
      return kLabelSpew;
    case Log_All:
      return kLabelAll;
    default:
      return "";
  }
}

// ---------------------------------------------------------------------------
// Logger

Logger::Logger() : lock_(GetDefaultScheduler()->CreateFastMutex()), stores_(std::make_shared<const StoreList>()) {
  if (!lock_) throw std::bad_alloc();
  places_.reserve(8);
  places_.max_load_factor(1.0f);
}

Logger::~Logger() = default;

int Logger::Release() {
  if (immortal_.load(std::memory_order_relaxed)) return DecrementRef();
  return IRefCountImpl::Release();
}

void Logger::Destroy() {
  if (!immortal_.load(std::memory_order_relaxed)) IRefCountImpl::Destroy();
}

int Logger::AddStore(ILogStore* store) {
  if (store == nullptr) return Result_InvalidPointer;
  auto next = std::make_shared<StoreList>();
  FastLockGuard guard(lock_.get());
  next->reserve(stores_->size() + 1);
  for (const auto& s : *stores_) {
    if (s.Get() != store) next->push_back(s);
  }
  next->emplace_back(store, true);
  stores_ = std::move(next);
  return Result_Ok;
}

int Logger::RemoveStore(ILogStore* store) {
  std::shared_ptr<const StoreList> previous;
  {
    FastLockGuard guard(lock_.get());
    auto it = std::find_if(stores_->begin(), stores_->end(), [store](const auto& s) { return s.Get() == store; });
    if (it == stores_->end()) return Result_Ok;
    auto next = std::make_shared<StoreList>();
    next->reserve(stores_->size());
    for (auto s = stores_->begin(); s != stores_->end(); ++s) {
      if (s != it) next->push_back(*s);
    }
    previous = std::exchange(stores_, std::move(next));
  }
  // The old list (and with it the removed store's reference) goes once no
  // writer still holds a snapshot of it; never under the lock, because a
  // store's destructor may log.
  previous.reset();
  return Result_Ok;
}

int Logger::IsEnabled(uint32_t levelFlags, uint32_t verbosity, bool* out) {
  if (out == nullptr) return Result_InvalidPointer;
  *out = (levelFlags & mask_.load(std::memory_order_relaxed)) == levelFlags &&
         verbosity <= level_.load(std::memory_order_relaxed);
  return Result_Ok;
}

int Logger::SetMask(uint32_t mask) {
  mask_.store(mask, std::memory_order_relaxed);
  return Result_Ok;
}

int Logger::GetMask(uint32_t* out) {
  if (out == nullptr) return Result_InvalidPointer;
  *out = mask_.load(std::memory_order_relaxed);
  return Result_Ok;
}

int Logger::SetLevel(uint32_t level) {
  level_.store(level, std::memory_order_relaxed);
  return Result_Ok;
}

int Logger::GetLevel(uint32_t* out) {
  if (out == nullptr) return Result_InvalidPointer;
  *out = level_.load(std::memory_order_relaxed);
  return Result_Ok;
}

size_t Logger::GetPlaceCount() {
  FastLockGuard guard(lock_.get());
  return places_.size();
}

void Logger::ForgetPlaces() {
  FastLockGuard guard(lock_.get());
  places_.clear();
}

bool Logger::AdmitLocked(const std::string& key, const char** warning) {
  auto it = places_.find(std::string_view(key));
  if (it == places_.end()) {
    // The first message of a place makes its record and is not counted.
    // The size is checked under the same lock as the insert, so the table
    // never grows past the bound however many threads race here.
    if (places_.size() < kMaxPlaces) places_.try_emplace(key);
    return true;
  }
  Place& place = it->second;
  // Suspensions run on the UTC clock, not on the line's local time stamp.
  const int64_t now = GetDefaultScheduler()->GetUtcTimeMs();
  // A suspension can never legitimately end more than the longest one from
  // now; further out means the wall clock stepped back, and the place would
  // otherwise stay silent for the size of the step.
  if (now < place.suspendedUntil && place.suspendedUntil - now <= kLongSuspendMs) return false;

  place.shortWindow.Push(now);
  place.shortWindow.Expire(now, kShortWindowMs);
  place.longWindow.Push(now);
  place.longWindow.Expire(now, kLongWindowMs);
  if (place.shortWindow.Size() >= kShortLimit) {
    place.suspendedUntil = now + kShortSuspendMs;
    *warning = kShortWarning;
  } else if (place.longWindow.Size() >= kLongLimit) {
    place.suspendedUntil = now + kLongSuspendMs;
    *warning = kLongWarning;
  }
  return true;
}

int Logger::Write(uint32_t levelFlags, const std::string& file, const std::string& function, int64_t timeMs,
                  uint32_t threadId, int line, const std::string& message, bool bypassRateLimit) {
  try {
    const char* warning = nullptr;
    std::shared_ptr<const StoreList> stores;
    if (bypassRateLimit) {
      FastLockGuard guard(lock_.get());
      stores = stores_;
    } else {
      // Thread, line, file and function with no separators between the last
      // three. The buffer is reused so that a steady logger allocates nothing
      // here.
      thread_local std::string key;
      key.clear();
      AppendDecimal(key, static_cast<uint64_t>(threadId));
      key.push_back('-');
      AppendDecimal(key, static_cast<int64_t>(line));
      key.append(file);
      key.append(function);

      FastLockGuard guard(lock_.get());
      if (!AdmitLocked(key, &warning)) return Result_Ok;
      stores = stores_;
    }

    for (const auto& store : *stores) {
      store->Write(levelFlags, file, function, timeMs, threadId, line, message);
    }
    if (warning != nullptr) {
      const std::string text(warning);
      for (const auto& store : *stores) {
        store->Write(levelFlags, file, function, timeMs, threadId, line, text);
      }
    }
  } catch (...) {
    // Logging never fails its caller; the line is lost.
  }
  return Result_Ok;
}

// ---------------------------------------------------------------------------
// Singleton and statistics

namespace {

Logger* CreateLoggerInstance() {
  // The scheduler first, so that its one-time set-up (the crash handler)
  // never runs under the logger mutex.
  (void)GetDefaultScheduler();
  CheckedLock lock(g_loggerMutex);
  Logger* logger = g_logger.load(std::memory_order_relaxed);
  if (logger == nullptr) {
    logger = new Logger();  // immortal: owned by the process
    logger->MakeImmortal();
    g_logger.store(logger, std::memory_order_release);
  }
  return logger;
}

}  // namespace

ILogger* GetLoggerInstance() {
  Logger* logger = g_logger.load(std::memory_order_acquire);
  return logger != nullptr ? logger : CreateLoggerInstance();
}

int GetLogger(ILogger** out) {
  if (out == nullptr) return Result_InvalidPointer;
  ILogger* logger = GetLoggerInstance();
  logger->AddRef();
  *out = logger;
  return Result_Ok;
}

void SetStatisticCallback(StatisticCallback callback) {
  CheckedLock lock(g_loggerMutex);
  g_statisticCallback = callback;
}

void ReportStatistic(int64_t source, const std::string& name, double value) {
  StatisticCallback callback;
  {
    CheckedLock lock(g_loggerMutex);
    callback = g_statisticCallback;
  }
  if (callback != nullptr) callback(source, name, value);
}

// ---------------------------------------------------------------------------
// Function names

std::string QualifiedFunctionName(const char* prettyFunction) {
  if (prettyFunction == nullptr) return std::string();
  std::string_view s(prettyFunction);
  // Template functions carry their arguments after the signature.
  if (size_t with = s.find(" [with "); with != std::string_view::npos) s = s.substr(0, with);
  // Inside a lambda the name is the enclosing function followed by
  // "::<lambda(...)>"; name the enclosing function.
  if (size_t lambda = s.rfind("::<lambda"); lambda != std::string_view::npos) s = s.substr(0, lambda);

  // Operators: the name ends with the operator's symbol, which may itself
  // hold '(' or '<'.
  size_t op = std::string_view::npos;
  for (size_t from = 0; (from = s.find("operator", from)) != std::string_view::npos; from += 8) {
    bool startsToken = from == 0 || s[from - 1] == ':' || s[from - 1] == ' ';
    bool endsToken = from + 8 >= s.size() || !IsIdentifierChar(s[from + 8]);
    if (startsToken && endsToken) {
      op = from;
      break;
    }
  }
  size_t end = std::string_view::npos;
  if (op != std::string_view::npos) {
    size_t symbol = op + 8;
    if (s.substr(symbol, 2) == "()") symbol += 2;
    end = s.find('(', symbol);
    if (end == std::string_view::npos) end = s.size();
    return std::string(s.substr(QualifiedNameStart(s, op), end - QualifiedNameStart(s, op)));
  }

  // The parameter list opens at the first '(' that follows a name outside
  // template arguments. A name opened by '(' belongs to a return type or a
  // declarator ("decltype (a(b))"), not to the function; "int (* f(int))(int)"
  // still finds f.
  int angle = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '<') {
      ++angle;
    } else if (c == '>') {
      if (angle > 0) --angle;
    } else if (c == '(' && angle == 0 && i > 0 && IsIdentifierChar(s[i - 1])) {
      size_t start = QualifiedNameStart(s, i);
      if (start == 0 || s[start - 1] != '(') {
        end = i;
        break;
      }
    }
  }
  if (end == std::string_view::npos) {
    // Already a plain name.
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return std::string(s);
  }
  size_t start = QualifiedNameStart(s, end);
  return std::string(s.substr(start, end - start));
}

// ---------------------------------------------------------------------------
// LogRecord

std::string SourcePathForLog(const char* file) {
  std::string path = file != nullptr ? file : "";
  const size_t dot = path.rfind('.');
  const size_t slash = path.rfind('/');
  if (dot != std::string::npos && dot > 0 && (slash == std::string::npos || dot > slash + 1)) path.resize(dot);
  return path;
}

void LogRecord::WriteMessage(const std::string& message) {
  Scheduler* scheduler = GetDefaultScheduler();
  const uint32_t threadId = scheduler->GetCurrentThreadId();
  const int64_t timeMs = scheduler->GetLocalTimeMs();
  logger_->Write(levelFlags_, SourcePathForLog(file_), QualifiedFunctionName(function_), timeMs, threadId, line_,
                 message, bypassRateLimit_);
}

void LogRecord::Print(const char* format, ...) {
  if (!enabled_) return;
  try {
    va_list args;
    va_start(args, format);
    std::string message = FormatStringV(format, args);
    va_end(args);
    WriteMessage(message);
  } catch (...) {
    // A log line never fails the caller.
  }
}

int LogRecord::SwitchForResult(int result) {
  if (result < 0) {
    levelFlags_ = Log_Severe;
  } else {
    levelFlags_ = Log_Spew;
    verbosity_ = 3;
  }
  enabled_ = false;
  logger_->IsEnabled(levelFlags_, verbosity_, &enabled_);
  return result;
}

int LogRecord::ReturnResult(int result, const char* format, ...) {
  SwitchForResult(result);
  if (!enabled_) return result;
  try {
    std::string message = FormatString("RETURN Result: 0x%x - ", static_cast<unsigned>(result));
    va_list args;
    va_start(args, format);
    message += FormatStringV(format, args);
    va_end(args);
    WriteMessage(message);
  } catch (...) {
  }
  return result;
}

int LogRecord::ReturnResult(int result) {
  SwitchForResult(result);
  if (!enabled_) return result;
  try {
    WriteMessage(FormatString("RETURN Result: 0x%x - ", static_cast<unsigned>(result)));
  } catch (...) {
  }
  return result;
}

}  // namespace corvane
