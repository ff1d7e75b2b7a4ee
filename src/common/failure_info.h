// What went wrong in an installation or removal step.  Every subsystem fills it; only the
// front end prints it.
#pragma once

#include <cstddef>
#include <cstdint>

// Room for a text made for one failure: two full paths and the words around them.
inline constexpr std::size_t kFailureTextSize = 640;

// context and message are constant texts, or point into the record's own storage when the
// text was made for this failure (set_failure_context, set_failure_message): the record owns
// what it reports, whichever step made it.  A copy's texts still point into the original.
struct FailureInfo {
  const char* context = nullptr;  // the failing call or step; printed with the system's text for code
  std::uint32_t code = 0;         // Win32 error for context; 0 means the last error at printing time
  const char* message = nullptr;  // a sentence for the user, printed as it stands
  char context_text[kFailureTextSize] = "";
  char message_text[kFailureTextSize] = "";
};

inline void clear_failure(FailureInfo* failure) {
  *failure = FailureInfo{};
}

// Formats the context or the message into the record's own storage (a longer text is cut).
void set_failure_context(FailureInfo* failure, const char* format, ...) __attribute__((format(printf, 2, 3)));
void set_failure_message(FailureInfo* failure, const char* format, ...) __attribute__((format(printf, 2, 3)));

// True for a text that is there and not empty; an empty context or message counts as none.
inline bool has_text(const char* text) {
  return text != nullptr && text[0] != '\0';
}
