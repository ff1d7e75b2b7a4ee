// What went wrong in an installation or removal step.  Every subsystem fills it; only the
// front end prints it.
#pragma once

#include <cstdint>

// The texts are constant or live for the rest of the run; a FailureInfo never owns them.
struct FailureInfo {
  const char* context = nullptr;  // the failing call or step; printed with the system's text for code
  std::uint32_t code = 0;         // Win32 error for context; 0 means the last error at printing time
  const char* message = nullptr;  // a sentence for the user, printed as it stands
};

inline void clear_failure(FailureInfo* failure) { *failure = FailureInfo{}; }

// True for a text that is there and not empty; an empty context or message counts as none.
inline bool has_text(const char* text) {
  return text != nullptr && text[0] != '\0';
}
