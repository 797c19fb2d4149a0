#include "c4d_string.h"

#include <algorithm>
#include <cstring>

std::u16string String::FromUtf8(std::string_view in) {
  std::u16string out;
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    auto c = static_cast<unsigned char>(in[i]);
    UInt32 cp = 0xFFFD;
    size_t len = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c >> 5) == 0x6) {
      len = 2;
    } else if ((c >> 4) == 0xE) {
      len = 3;
    } else if ((c >> 3) == 0x1E) {
      len = 4;
    }
    if (len > 1) {
      if (i + len > in.size()) {
        len = 1;
      } else {
        cp = len == 2 ? (c & 0x1Fu) : len == 3 ? (c & 0x0Fu) : (c & 0x07u);
        for (size_t k = 1; k < len; ++k) {
          auto cc = static_cast<unsigned char>(in[i + k]);
          if ((cc >> 6) != 0x2) {
            cp = 0xFFFD;
            len = k;
            break;
          }
          cp = (cp << 6) | (cc & 0x3Fu);
        }
      }
    }
    i += len;
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else if (cp > 0x10FFFF) {
      out.push_back(u'\uFFFD');
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string String::ToUtf8(std::u16string_view in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    UInt32 cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
        in[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

void String::GetUcBlock(UInt16* Ubc, Int32 Max) const {
  const Int32 n = std::min(Max, GetLength());
  for (Int32 i = 0; i < n; ++i) Ubc[i] = static_cast<UInt16>(s_[static_cast<size_t>(i)]);
}

void String::GetUcBlockNull(UInt16* Ubc, Int32 Max) const {
  if (Max <= 0) return;
  const Int32 n = std::min(Max - 1, GetLength());
  GetUcBlock(Ubc, n);
  Ubc[n] = 0;
}

std::string String::GetUtf8() const { return ToUtf8(s_); }

char* String::GetCStringCopy() const {
  std::string u = GetUtf8();
  char* p = new char[u.size() + 1];
  std::memcpy(p, u.c_str(), u.size() + 1);
  return p;
}

String String::SubStr(Int32 start, Int32 count) const {
  if (start < 0) {
    count += start;
    start = 0;
  }
  if (count <= 0 || start >= GetLength()) return String();
  return String(s_.substr(static_cast<size_t>(start), static_cast<size_t>(count)));
}

Bool String::FindFirst(const String& what, Int32* pos, Int32 start) const {
  if (start < 0) start = 0;
  size_t p = s_.find(what.s_, static_cast<size_t>(start));
  if (p == std::u16string::npos) return false;
  if (pos) *pos = static_cast<Int32>(p);
  return true;
}

Bool String::FindLast(UInt16 ch, Int32* pos) const {
  size_t p = s_.rfind(static_cast<char16_t>(ch));
  if (p == std::u16string::npos) return false;
  if (pos) *pos = static_cast<Int32>(p);
  return true;
}

String String::FloatToString(Float v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return String(buf);
}

static Int32 LastSeparator(const String& s) {
  Int32 a = -1, b = -1;
  s.FindLast('/', &a);
  s.FindLast('\\', &b);
  return std::max(a, b);
}

Filename Filename::GetDirectory() const {
  Int32 p = LastSeparator(s_);
  return p < 0 ? Filename() : Filename(s_.Left(p));
}

Filename Filename::GetFile() const {
  Int32 p = LastSeparator(s_);
  return Filename(s_.SubStr(p + 1, s_.GetLength() - p - 1));
}

String Filename::GetSuffix() const {
  String f = GetFile().GetString();
  Int32 p = -1;
  if (!f.FindLast('.', &p)) return String();
  return f.SubStr(p + 1, f.GetLength() - p - 1);
}

Filename Filename::operator+(const Filename& f) const {
  if (!s_.Content()) return f;
  if (!f.Content()) return *this;
  UInt16 last = s_[s_.GetLength() - 1];
  if (last == '/' || last == '\\') return Filename(s_ + f.s_);
  return Filename(s_ + String("/") + f.s_);
}
