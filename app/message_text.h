// Text from files and command lines as it appears in messages: a hostile file can hold a
// ten-megabyte key or bytes that are not UTF-8, and a message must stay one readable line
// that a terminal shows as it is meant.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pmxapp {

/// Longest echo of one piece of input (a key, a name, a value) in a message, in characters.
constexpr size_t kEchoChars = 60;
/// Longest message line, in bytes; anything longer loses its middle.
constexpr size_t kMessageBytes = 1000;

/// `text` with every byte that is not part of valid UTF-8 written as \xNN and every control
/// character (other than line breaks and tabs when `keepLines`) as \n, \t, \r or \xNN.
std::string EscapeForMessage(std::string_view text, bool keepLines = false);

/// `text` in double quotes, escaped, cut after `maxChars` characters with "..." before the
/// closing quote when it is longer.
std::string QuoteForMessage(std::string_view text, size_t maxChars = kEchoChars);

/// `text` escaped (keeping line breaks) and, when longer than `maxBytes`, with its middle
/// replaced by " ... " so that both the start (what failed) and the end (why) remain.
std::string ShortenForMessage(std::string_view text, size_t maxBytes = kMessageBytes);

}  // namespace pmxapp
