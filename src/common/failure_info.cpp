#include "common/failure_info.h"

#include <cstdarg>
#include <cstdio>

namespace {

// A text that can't be formatted is left empty, and so counts as none.
void format_into(char* text, const char* format, std::va_list arguments) {
  if (std::vsnprintf(text, kFailureTextSize, format, arguments) < 0) text[0] = '\0';
}

}  // namespace

void set_failure_context(FailureInfo* failure, const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  format_into(failure->context_text, format, arguments);
  va_end(arguments);
  failure->context = failure->context_text;
}

void set_failure_message(FailureInfo* failure, const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  format_into(failure->message_text, format, arguments);
  va_end(arguments);
  failure->message = failure->message_text;
}
