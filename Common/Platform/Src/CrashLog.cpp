#include "CrashLog.h"

#include <time.h>

#include <cstring>

#include "Directory.h"
#include "FileIo.h"
#include "Logger.h"
#include "Scheduler.h"

namespace corvane {

namespace {

// One write() on an O_APPEND descriptor: concurrent guards (threads or
// processes) each land whole lines without taking a lock.
void AppendLine(const std::string& text) {
  int fd = platform::OpenAppendFile(CrashLogPath());
  if (fd < 0) return;
  platform::WriteFully(fd, text.data(), text.size());
  platform::CloseFile(fd);
}

// The local date and time as the C library's "%c" gives it.
std::string LocalTimeText() {
  DateTime dt;
  GetDefaultScheduler()->GetLocalDateTime(&dt);
  struct tm tmv {};
  tmv.tm_year = dt.year - 1900;
  tmv.tm_mon = dt.month - 1;
  tmv.tm_mday = dt.day;
  tmv.tm_hour = dt.hour;
  tmv.tm_min = dt.minute;
  tmv.tm_sec = dt.second;
  timegm(&tmv);  // fills in the weekday that "%c" shows
  char buf[512];
  size_t n = strftime(buf, sizeof(buf), "%c", &tmv);
  return std::string(buf, n);
}

std::string StdExceptionLine(const char* kind, const std::exception& error, const char* file, int line) {
  const char* what = error.what();
  std::string text = LocalTimeText();
  text += kind;
  text += what != nullptr ? what : "";
  text += ", File: ";
  text += file != nullptr ? file : "";
  text += " Line#:";
  text += std::to_string(line);
  text += "\r\n";
  return text;
}

std::string CatchLinePrefix() {
  std::string text = TimestampText(0);
  text += '\t';
  text += std::to_string(static_cast<int32_t>(CurrentThreadId()));
  text += "\tCRASH DUMP\t";
  return text;
}

std::string FunctionText(const char* function) {
  if (function == nullptr) throw std::invalid_argument("crash log: no function name");
  // A compiler's full signature becomes the qualified name the log records use.
  if (std::strchr(function, '(') != nullptr) return QualifiedFunctionName(function);
  return function;
}

}  // namespace

std::string CrashLogPath() { return GetDataDirectory("", "", "", true, false) + "/CrashLog.txt"; }

namespace crashlog {

void RecordRuntimeError(const std::runtime_error& error, const char* file, int line) noexcept {
  try {
    AppendLine(StdExceptionLine(": Std runtime error: ", error, file, line));
  } catch (...) {
  }
}

void RecordException(const std::exception& error, const char* file, int line) noexcept {
  try {
    AppendLine(StdExceptionLine(": Std Exception: ", error, file, line));
  } catch (...) {
  }
}

void RecordUnknown(const char* function, const char* file, int line) noexcept {
  const char* fileText = file != nullptr ? file : "";
  try {
    std::string text = CatchLinePrefix();
    text += FunctionText(function);
    text += "\tCATCH\t";
    text += fileText;
    text += '\t';
    text += std::to_string(line);
    text += "\r\n";
    AppendLine(text);
  } catch (...) {
    try {
      std::string text = CatchLinePrefix();
      text += function != nullptr ? function : "";
      text += "\t<bad user message - please check the caller>\t";
      text += fileText;
      text += '\t';
      text += std::to_string(line);
      text += "\r\n";
      AppendLine(text);
    } catch (...) {
    }
  }
}

}  // namespace crashlog

}  // namespace corvane
