// Log lines of the HTTP server and its requests. They name the public
// operation they belong to (whichever helper writes them) and the server's
// source file, as they always have: log readers filter on both.
#pragma once

#include "Logger.h"

namespace corvane::http_log {
inline constexpr char kSourceFile[] = "Common/HttpServer/Src/HttpServer.cpp";
}  // namespace corvane::http_log

#define HTTP_SERVER_LOG(function, flags, ...)                                                        \
  do {                                                                                               \
    ::corvane::LogRecord http_log_record_((flags), 0, ::corvane::http_log::kSourceFile, __LINE__,    \
                                          (function));                                               \
    if (http_log_record_.IsEnabled()) http_log_record_.Print(__VA_ARGS__);                           \
  } while (0)
