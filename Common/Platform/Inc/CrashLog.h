// The crash log: a last-resort record of exceptions passing through the
// public operations of the guarded components.
//
// Each guarded operation runs its body inside CrashLogGuard. An exception
// leaving the body appends one line to "CrashLog.txt" in the data folder's
// company folder and is rethrown unchanged (the caller receives the very
// same object). The guard never logs through the logger, never swallows and
// never turns an exception into a result code; a failure to record is
// ignored.
//
// Lines (each ends in exactly one CR LF):
//   std::runtime_error: "<%c time>: Std runtime error: <what>, File: <file> Line#:<line>"
//   std::exception:     "<%c time>: Std Exception: <what>, File: <file> Line#:<line>"
//   anything else:      "<TimestampText(0)>\t<tid>\tCRASH DUMP\t<function>\tCATCH\t<file>\t<line>"
// and, when writing that last line itself fails,
//   "<TimestampText(0)>\t<tid>\tCRASH DUMP\t<function>\t<bad user message - please check the caller>\t<file>\t<line>"
#pragma once

#include <cxxabi.h>

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

namespace corvane {

// The crash log's path: the company folder (created if missing) followed by
// "/CrashLog.txt".
std::string CrashLogPath();

namespace crashlog {
// Each appends one line with a single write() on a file opened for
// appending, so that lines of concurrent guards never mix. Never throw.
void RecordRuntimeError(const std::runtime_error& error, const char* file, int line) noexcept;
void RecordException(const std::exception& error, const char* file, int line) noexcept;
// function is a qualified name or a compiler's __PRETTY_FUNCTION__ (the
// qualified name is then derived); null writes the "bad user message" line.
void RecordUnknown(const char* function, const char* file, int line) noexcept;

// Thread cancellation (abi::__forced_unwind) is no C++ exception object.
// Catching it by name binds a reference to nothing, which the
// undefined-behaviour sanitizer rightly reports, so it is told apart here:
// the runtime hands out no exception_ptr for an exception it did not throw.
// (Asking for its type instead would read a C++ header that does not exist
// in front of the unwinder's record.)
inline bool IsCancellation() { return !std::current_exception(); }
}  // namespace crashlog

// Runs body() and returns what it returns. An exception is recorded and
// rethrown. Thread cancellation (abi::__forced_unwind) passes through
// without a line: it is not a failure.
template <class F>
decltype(auto) CrashLogGuard(const char* function, const char* file, int line, F&& body) {
  try {
    return std::forward<F>(body)();
  } catch (const std::runtime_error& e) {
    crashlog::RecordRuntimeError(e, file, line);
    throw;
  } catch (const std::exception& e) {
    crashlog::RecordException(e, file, line);
    throw;
  } catch (...) {
    if (!crashlog::IsCancellation()) crashlog::RecordUnknown(function, file, line);
    throw;
  }
}

// The destructor form: records the line but does not rethrow, because an
// exception leaving a destructor terminates the process. Only thread
// cancellation still passes through.
template <class F>
void CrashLogGuardNoThrow(const char* function, const char* file, int line, F&& body) {
  try {
    std::forward<F>(body)();
  } catch (const std::runtime_error& e) {
    crashlog::RecordRuntimeError(e, file, line);
  } catch (const std::exception& e) {
    crashlog::RecordException(e, file, line);
  } catch (...) {
    if (crashlog::IsCancellation()) throw;
    crashlog::RecordUnknown(function, file, line);
  }
}

namespace platform {

inline constexpr char kCrashDumpFileName[] = "crash.mdmp";

// Installs the crash filter now, whatever CORVANE_NO_CRASH_HANDLER says (the
// scheduler's first use goes through InstallCrashHandler, which honours it).
// The dump goes to the company folder as GetDataDirectory gives it at this
// call. An unhandled SIGSEGV or SIGBUS writes the dump: signal, code,
// faulting address, time, pid, thread id, registers, the stack trace and
// /proc/self/maps. The handler that was in place before the (latest) install
// is then put back and receives the signal, so the process still dies by it.
void InstallCrashFilter();

}  // namespace platform

}  // namespace corvane

// Guards the rest of a statement's lambda at the caller's own file and line:
//   return CRASH_LOG_GUARD("corvane::Foo::Bar", [&] { ... });
#define CRASH_LOG_GUARD(function, ...) ::corvane::CrashLogGuard((function), __FILE__, __LINE__, __VA_ARGS__)
#define CRASH_LOG_GUARD_NOTHROW(function, ...) \
  ::corvane::CrashLogGuardNoThrow((function), __FILE__, __LINE__, __VA_ARGS__)
