#include "common/letter_case.h"

#include <cstring>

char fold_letter(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

char lower_letter(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_ignoring_letter_case(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (fold_letter(*a) != fold_letter(*b)) return false;
    if (*a == '\0') return true;
  }
}

bool equal_ignoring_letter_case(const char* a, const char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (fold_letter(a[i]) != fold_letter(b[i])) return false;
  }
  return true;
}

bool equal_ignoring_letter_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && equal_ignoring_letter_case(a.data(), b.data(), a.size());
}

const char* find_ignoring_letter_case(const char* text, const char* part) {
  std::size_t length = std::strlen(part);
  for (; *text != '\0'; ++text) {
    if (equal_ignoring_letter_case(text, part, length)) return text;
  }
  return length == 0 ? text : nullptr;
}
