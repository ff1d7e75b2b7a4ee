#include "common/report.h"

#include <cstdarg>
#include <cstdio>

namespace {

// A run prints a few kilobytes; a removal on a machine with thousands of boards prints a line
// for each, and the log keeps the beginning of that.
constexpr std::size_t kTranscriptLimit = 256UL * 1024UL;

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

// Writes the text and keeps it; error text is kept apart too, for the run's event.
void emit(std::FILE* stream, const std::string& text) {
  std::fputs(text.c_str(), stream);
  keep(&transcript, text);
  if (stream == stderr) keep(&errors, text);
}

// The text a printf format makes of its arguments, of whatever length.
std::string formatted(const char* format, va_list arguments) {
  std::string text;
  va_list measure;
  va_copy(measure, arguments);
  int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length > 0) {
    text.resize(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, arguments);
    text.pop_back();
  }
  return text;
}

}  // namespace

void report_output(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string text = formatted(format, arguments);
  va_end(arguments);
  emit(stdout, text);
}

void report_error(const char* format, ...) {
  std::fflush(stdout);
  va_list arguments;
  va_start(arguments, format);
  std::string text = formatted(format, arguments);
  va_end(arguments);
  emit(stderr, text);
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
