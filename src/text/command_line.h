#pragma once

#include <vector>

#include "text/text.h"

namespace pvr {

// Divides a command line into program and arguments by the Windows rules,
// so that a job file means the same wherever it runs: spaces and tabs
// separate; double quotes group and are removed; 2n backslashes before a
// quote give n backslashes and the quote groups, 2n+1 give n backslashes
// and a literal quote; other backslashes are literal.
std::vector<Text> SplitCommandLine(const Text& command_line);

// The words of a command line, the program first; a command without a
// program is a program-not-found failure.
std::vector<Text> ProgramAndArguments(const Text& command_line);

// The 1-based positions of the characters a reader of the text acts on:
// those of always anywhere, those of unquoted outside double quotes.
std::vector<std::size_t> ActedOnAt(const Text& text, const Text& always,
                                   const Text& unquoted);

}  // namespace pvr
