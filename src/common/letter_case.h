// Comparing names the way Windows compares hardware IDs, file and INF names: the letters A to
// Z equal in either case, every other byte only to itself, and no locale consulted.
#pragma once

#include <cstddef>
#include <string_view>

// c in upper case when it is a letter a to z; anything else as it is.
char fold_letter(char c);
// c in lower case when it is a letter A to Z; anything else as it is.
char lower_letter(char c);
// Whole strings, equal but for the case of the letters A to Z.
bool equal_ignoring_letter_case(const char* a, const char* b);
// The first n characters; stops at the first difference, so a shorter a (its NUL differs from
// any character of b) is never read past its end.
bool equal_ignoring_letter_case(const char* a, const char* b, std::size_t n);
// Two texts of any bytes, equal in length and but for the case of the letters A to Z.
bool equal_ignoring_letter_case(std::string_view a, std::string_view b);
// The first place in text where part begins, in either case; null when there is none.
const char* find_ignoring_letter_case(const char* text, const char* part);
