// Lines for standard output and standard error.  Standard output is fully buffered when it is
// redirected and standard error is not, so a log made with "> log 2>&1" would show a failure
// before the lines that led to it: what standard output holds goes out first.
//
// Both also keep what they print, in order, for the run's own log: an agent that runs the
// program keeps neither stream.
#pragma once

#include <cstdarg>
#include <string>

#if defined(__GNUC__)
#define HALVIK_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define HALVIK_PRINTF_FORMAT
#endif

// printf to standard output.
HALVIK_PRINTF_FORMAT void report_output(const char* format, ...);
// printf to standard error, after what standard output holds.
HALVIK_PRINTF_FORMAT void report_error(const char* format, ...);

// Everything printed through the two so far (bounded: a long run keeps its beginning and says
// what it left out), and what went to standard error alone.
const std::string& printed_transcript();
const std::string& printed_errors();
// Starts both again (tests run several programs' worth in one process).
void clear_printed();
// Keeps text the console showed without this program printing it: an answer typed.
void keep_in_transcript(const std::string& text);
