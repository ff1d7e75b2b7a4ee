// Lines for standard error.  Standard output is fully buffered when it is redirected and
// standard error is not, so a log made with "> log 2>&1" would show a failure before the lines
// that led to it: what standard output holds goes out first.
#pragma once

#include <cstdarg>
#include <cstdio>

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
inline void
report_error(const char* format, ...) {
  std::fflush(stdout);
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
}
