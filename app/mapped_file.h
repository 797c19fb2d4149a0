// A file's bytes mapped into memory for reading, without the copy and the freshly cleared
// pages a read into a buffer costs. Parsers that read a little past the end (as simdjson does
// in blocks of 64 bytes) find zero bytes there.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace pmxapp {

class MappedFile {
 public:
  /// Maps the regular file `path`. Null for anything that is not a regular file (a pipe, a
  /// device) or that the system will not map, with the system's reason in `reason`: the caller
  /// then reads the file as a stream.
  static std::unique_ptr<MappedFile> Open(const std::string& path, std::string* reason);

  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  /// The file's bytes. At least `kReadPastEnd` zero bytes follow them.
  std::string_view Bytes() const { return {data_, size_}; }
  static constexpr std::size_t kReadPastEnd = 4096;

  /// True when the file was cut short while it was mapped. The bytes it lost then read as
  /// zeros instead of ending the program with a bus error, and whatever was read from them
  /// must be thrown away.
  bool CutShort() const;

  /// Drops the file's pages from this program's memory, keeping them mapped: what is read again
  /// comes back from the file. Safe beside readers.
  void DropPages() const;

  /// Unmaps the file; Bytes() is empty from then on (CutShort() still answers).
  void Release();

 private:
  MappedFile() = default;
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mappedBytes_ = 0;  // the file's pages and the zero page after them
  bool cutShort_ = false;        // as it was when the file was released
};

}  // namespace pmxapp
