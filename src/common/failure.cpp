#include "common/failure.h"

#include <cstdio>
#include <string>

#include "common/report.h"
#include "platform/port.h"

namespace {

constexpr std::size_t kConsoleWidth = 80;
constexpr std::size_t kDescriptionSize = 200;

bool is_white_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Breaks the line so that it reads on an 80-column console: each piece ends at the last white
// space within its first 80 characters; a stretch of 80 characters without any is broken hard
// after 79.  Line ends already in the text don't restart the count.
void wrap_to_console(std::string* line) {
  std::size_t remaining = line->size();
  std::size_t start = 0;
  while (remaining > kConsoleWidth + 1) {
    std::size_t i = kConsoleWidth - 1;
    while (i > 0 && !is_white_space((*line)[start + i])) --i;
    if (i == 0 && !is_white_space((*line)[start])) {
      line->insert(start + kConsoleWidth - 1, 1, '\n');
      remaining -= kConsoleWidth - 1;
      start += kConsoleWidth;
      continue;
    }
    (*line)[start + i] = '\n';
    remaining -= i + 1;
    start += i + 1;
  }
}

}  // namespace

void report_system_error(const char* context, std::uint32_t code) {
  char description[kDescriptionSize] = {};
  if (code == 0) code = port::GetLastError();
  port::FormatMessageA(port::FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0x400, description, kDescriptionSize,
                       nullptr);
  if (description[0] == '\0')
    std::snprintf(description, sizeof description, "Error code 0x%X (not found)\n", code);

  // Built whole, however long the context: a cut line would lose the description.
  std::string line = context != nullptr ? context : "";
  line += ": ";
  line += description;
  wrap_to_console(&line);
  report_error("%s", line.c_str());
}

void print_failure(const FailureInfo& failure) {
  if (has_text(failure.context)) report_system_error(failure.context, failure.code);
  if (has_text(failure.message)) report_error("%s\n", failure.message);
}
