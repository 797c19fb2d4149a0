#include "message_text.h"

#include <cstdio>

namespace pmxapp {

namespace {

/// The length of the valid UTF-8 sequence starting at `i`, or 0 (overlong forms, surrogates
/// and code points above U+10FFFF are not valid).
size_t SequenceLength(std::string_view s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return 1;
  size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return n;
}

std::string Hex(unsigned char b) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\x%02X", b);
  return buf;
}

/// Appends the character at `i` in its printable form; answers the bytes it took.
size_t AppendEscaped(std::string_view s, size_t i, bool keepLines, bool quoted, std::string* out) {
  const size_t n = SequenceLength(s, i);
  const unsigned char b = static_cast<unsigned char>(s[i]);
  if (n == 0) {
    *out += Hex(b);
    return 1;
  }
  if (n > 1) {
    out->append(s.substr(i, n));
    return n;
  }
  if (b == '\n' || b == '\t') {
    if (keepLines) {
      out->push_back(static_cast<char>(b));
    } else {
      *out += b == '\n' ? "\\n" : "\\t";
    }
  } else if (b == '\r') {
    *out += "\\r";
  } else if (b < 0x20 || b == 0x7F) {
    *out += Hex(b);
  } else if (quoted && (b == '"' || b == '\\')) {
    out->push_back('\\');
    out->push_back(static_cast<char>(b));
  } else {
    out->push_back(static_cast<char>(b));
  }
  return 1;
}

}  // namespace

std::string EscapeForMessage(std::string_view text, bool keepLines) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) i += AppendEscaped(text, i, keepLines, false, &out);
  return out;
}

std::string QuoteForMessage(std::string_view text, size_t maxChars) {
  std::string out = "\"";
  size_t chars = 0, i = 0;
  while (i < text.size() && chars < maxChars) {
    i += AppendEscaped(text, i, false, true, &out);
    ++chars;
  }
  if (i < text.size()) out += "...";
  out += '"';
  return out;
}

std::string ShortenForMessage(std::string_view text, size_t maxBytes) {
  const size_t keep = maxBytes / 2;
  if (text.size() <= maxBytes) return EscapeForMessage(text, true);
  // Cut on character boundaries so that no sequence is split into "invalid" bytes.
  size_t head = keep;
  while (head > 0 && (static_cast<unsigned char>(text[head]) & 0xC0) == 0x80) --head;
  size_t tail = text.size() - keep;
  while (tail < text.size() && (static_cast<unsigned char>(text[tail]) & 0xC0) == 0x80) ++tail;
  return EscapeForMessage(text.substr(0, head), true) + " ... " +
         EscapeForMessage(text.substr(tail), true);
}

}  // namespace pmxapp
