// The console dialogue: the questions of an interactive installation and the summary.
//
// Every answer is one line of standard input (at most 299 characters; the rest of a longer
// line is the next answer).  Once input has ended nothing more is read, and each question
// takes its default: the overwrite question "y", the device-node, adjustment and reboot
// questions "n", the numeric questions their offered default, the memory size 32, the
// adjustment choice 1 (skip); the reserved-module list ends there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

inline constexpr std::size_t kAnswerSize = 300;

// Where answers are read from; standard input unless a test points it elsewhere.  Setting
// it also forgets that an earlier source had ended.
void set_answer_source(std::FILE* source);

// Makes the prompt visible and reads one answer line into line (kAnswerSize bytes).  False,
// with line empty, once input has ended.
bool read_answer(char* line);

// True for an empty answer (the default stands) or a number starting with a decimal digit,
// which it stores in *setting; false for anything else.
bool parse_unsigned_answer(const char* line, std::uint32_t* setting);

// Asks whether to overwrite an existing installation: true for yes.
bool ask_overwrite();
// From the number of modules up to the advanced and test parameters.
void ask_driver_parameters();
void print_configuration_summary();
// The device-node question and the memory adjustment questions.
void ask_install_options();
// The reboot question: true when the answer starts with "y".
bool ask_reboot();
