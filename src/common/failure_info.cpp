#include "common/failure_info.h"

#include <cstdarg>
#include <cstdio>

// A text that can't be formatted is left empty, and so counts as none.  The analyzer's va_list
// check misreads va_start when clang-tidy is given several files in one run (it passes on this
// file alone), hence the NOLINT on the two calls.
void set_failure_context(FailureInfo* failure, const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  int written = std::vsnprintf(failure->context_text, kFailureTextSize, format, arguments);
  va_end(arguments);
  if (written < 0) failure->context_text[0] = '\0';
  failure->context = failure->context_text;
}

void set_failure_message(FailureInfo* failure, const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  int written = std::vsnprintf(failure->message_text, kFailureTextSize, format, arguments);
  va_end(arguments);
  if (written < 0) failure->message_text[0] = '\0';
  failure->message = failure->message_text;
}
