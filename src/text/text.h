// The text operations that every step of a run is made of. A text is a
// string of 16-bit characters; positions are 1-based and count characters,
// 0 meaning "not found"; lengths and positions are 32-bit.
#pragma once

#include <cstdint>
#include <string>

namespace pvr {

using Text = std::u16string;

// Removes U+0020 only, at both ends; tabs and line ends stay.
Text TrimSpaces(const Text& text);

// One character to one character, so that a position found in the result
// indexes the same character of the input.
Text LowerCase(const Text& text);

// Position of the first occurrence of pattern, compared exactly, or 0.
std::int32_t FindText(const Text& text, const Text& pattern);

// Characters from start to the end; empty past the end. start < 1 fails.
Text TextFrom(const Text& text, std::int32_t start);

// The first count characters, at most the whole text. count < 0 fails.
Text LeftText(const Text& text, std::int32_t count);

// The last count characters, at most the whole text. count < 0 fails.
Text RightText(const Text& text, std::int32_t count);

// Every occurrence of find replaced, left to right, without overlap and
// without scanning replaced text again.
Text ReplaceText(const Text& text, const Text& find, const Text& replacement);

// Text length as a 32-bit value; a longer text is an overflow.
std::int32_t LengthOf(const Text& text);

// Plain ASCII to Text, for labels and messages written in the code.
Text TextOf(const char* ascii);

}  // namespace pvr
