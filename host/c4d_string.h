// The host's text type: UTF-16 code units, with UTF-8 conversion at the edges.
#pragma once

#include <string>
#include <string_view>

#include "ge_math.h"

class String {
 public:
  String() = default;
  String(const char* utf8) : s_(FromUtf8(utf8 ? std::string_view(utf8) : std::string_view())) {}
  String(const std::string& utf8) : s_(FromUtf8(utf8)) {}
  String(std::u16string units) : s_(std::move(units)) {}
  String(const char16_t* units) : s_(units ? units : u"") {}
  /// `count` copies of the code unit `ch`.
  String(Int32 count, UInt16 ch)
      : s_(count > 0 ? std::u16string(static_cast<size_t>(count), static_cast<char16_t>(ch))
                     : std::u16string()) {}

  Int32 GetLength() const { return static_cast<Int32>(s_.size()); }
  Bool Content() const { return !s_.empty(); }
  UInt16 operator[](Int32 pos) const {
    return static_cast<UInt16>(s_.at(static_cast<size_t>(pos)));
  }
  /// Copies at most `Max` UTF-16 code units into `Ubc`, without a terminating 0.
  void GetUcBlock(UInt16* Ubc, Int32 Max) const;
  /// Copies at most `Max` - 1 code units into `Ubc` and ends them with a 0 (`Max` counts the 0).
  void GetUcBlockNull(UInt16* Ubc, Int32 Max) const;
  /// Not in the host's interface: the code units without a copy, for this host's own code.
  /// Plug-in code reads them with GetUcBlock.
  const std::u16string& GetUtf16() const { return s_; }
  /// UTF-8 text (lone surrogates become U+FFFD).
  std::string GetUtf8() const;
  /// Copies the UTF-8 text into a new char array freed with DeleteMem/delete[].
  char* GetCStringCopy() const;
  void SetCString(const char* utf8) { s_ = FromUtf8(utf8 ? utf8 : ""); }

  String SubStr(Int32 start, Int32 count) const;
  String Left(Int32 count) const { return SubStr(0, count); }
  String Right(Int32 count) const { return SubStr(GetLength() - count, count); }
  Bool FindFirst(const String& what, Int32* pos, Int32 start = 0) const;
  Bool FindLast(UInt16 ch, Int32* pos) const;

  /// Host comparison: lexicographic by code unit; <0, 0 or >0.
  Int32 Compare(const String& o) const { return s_ < o.s_ ? -1 : (s_ == o.s_ ? 0 : 1); }
  bool operator==(const String& o) const { return s_ == o.s_; }
  bool operator!=(const String& o) const { return s_ != o.s_; }
  bool operator<(const String& o) const { return s_ < o.s_; }
  String operator+(const String& o) const { return String(s_ + o.s_); }
  String& operator+=(const String& o) {
    s_ += o.s_;
    return *this;
  }

  static String IntToString(Int64 v) { return String(std::to_string(v)); }
  static String FloatToString(Float v);
  static std::u16string FromUtf8(std::string_view utf8);
  static std::string ToUtf8(std::u16string_view units);

 private:
  std::u16string s_;
};

inline String operator+(const char* a, const String& b) { return String(a) + b; }

/// A file path, kept as text with '/' or '\\' separators.
class Filename {
 public:
  Filename() = default;
  Filename(const String& s) : s_(s) {}
  Filename(const char* s) : s_(s) {}
  String GetString() const { return s_; }
  Bool Content() const { return s_.Content(); }
  Filename GetDirectory() const;
  Filename GetFile() const;
  String GetSuffix() const;
  Filename operator+(const Filename& f) const;
  bool operator==(const Filename& o) const { return s_ == o.s_; }
  /// The path as UTF-8, for the operating system.
  std::string GetSystemPath() const { return s_.GetUtf8(); }

 private:
  String s_;
};
