#include "common/report.h"

#include <cstdio>

namespace {

// A run prints a few kilobytes; a removal on a machine with thousands of boards prints a line
// for each, and the log keeps the beginning of that.
constexpr std::size_t kTranscriptLimit = 256 * 1024;

std::string transcript;
std::string errors;
bool transcript_cut = false;

void keep(std::string* kept, const std::string& text) {
  if (kept == &transcript && transcript.size() + text.size() > kTranscriptLimit) {
    if (!transcript_cut) transcript += "\n[... the rest of the output is not kept ...]\n";
    transcript_cut = true;
    return;
  }
  if (kept == &errors && errors.size() + text.size() > kTranscriptLimit) return;
  *kept += text;
}

std::string formatted(const char* format, va_list arguments) {
  va_list counting;
  va_copy(counting, arguments);
  int length = std::vsnprintf(nullptr, 0, format, counting);
  va_end(counting);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, arguments);
  text.pop_back();
  return text;
}

}  // namespace

void report_output(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string text = formatted(format, arguments);
  va_end(arguments);
  std::fputs(text.c_str(), stdout);
  keep(&transcript, text);
}

void report_error(const char* format, ...) {
  std::fflush(stdout);
  va_list arguments;
  va_start(arguments, format);
  std::string text = formatted(format, arguments);
  va_end(arguments);
  std::fputs(text.c_str(), stderr);
  keep(&transcript, text);
  keep(&errors, text);
}

const std::string& printed_transcript() {
  return transcript;
}

const std::string& printed_errors() {
  return errors;
}

void clear_printed() {
  transcript.clear();
  errors.clear();
  transcript_cut = false;
}

void keep_in_transcript(const std::string& text) {
  keep(&transcript, text);
}
