// Files: the host's buffered binary file. Writing a regular file goes to a fresh temporary
// file beside the target, which replaces the target only when it is closed without an error;
// a device or a pipe is written straight into. A full buffer goes to the file on another
// thread while the caller fills the next one.
#pragma once

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "c4d_nodedata.h"

enum FILEOPEN : Int32 {
  FILEOPEN_APPEND = 0,
  FILEOPEN_READ = 1,
  FILEOPEN_WRITE = 2,
  FILEOPEN_READWRITE = 3,
};
enum FILEDIALOG : Int32 {
  FILEDIALOG_NONE = 0,
  FILEDIALOG_ANY = 1,
  FILEDIALOG_IGNOREOPEN = 2,
};
enum BYTEORDER : Int32 {
  BYTEORDER_MOTOROLA = 1,
  BYTEORDER_INTEL = 2,
};
constexpr Int32 MACTYPE_CINEMA = 0x43344443;     // 'C4DC'
constexpr Int32 MACCREATOR_CINEMA = 0x43344431;  // 'C4D1'

class BaseFile {
 public:
  BaseFile() = default;
  BaseFile(const BaseFile&) = delete;
  BaseFile& operator=(const BaseFile&) = delete;
  ~BaseFile();
  static BaseFile* Alloc() { return new BaseFile; }
  static void Free(BaseFile*& f) {
    delete f;
    f = nullptr;
  }

  Bool Open(const Filename& name, FILEOPEN mode = FILEOPEN_READ,
            FILEDIALOG error_dialog = FILEDIALOG_IGNOREOPEN, BYTEORDER order = BYTEORDER_MOTOROLA,
            Int32 type = MACTYPE_CINEMA, Int32 creator = MACCREATOR_CINEMA);
  /// Finishes the file; for a written file, replaces the target only when no error occurred.
  Bool Close();
  void SetOrder(BYTEORDER order) { order_ = order; }
  FILEERROR GetError() const { return error_; }
  void SetError(FILEERROR error) { error_ = error; }
  Int64 GetPosition() const { return position_; }

  Bool WriteChar(Char v) { return WriteRaw(&v, 1); }
  Bool WriteUChar(UChar v) { return WriteRaw(&v, 1); }
  Bool WriteInt16(Int16 v) { return WriteOrdered(&v, 2); }
  Bool WriteUInt16(UInt16 v) { return WriteOrdered(&v, 2); }
  Bool WriteInt32(Int32 v) { return WriteOrdered(&v, 4); }
  Bool WriteUInt32(UInt32 v) { return WriteOrdered(&v, 4); }
  Bool WriteInt64(Int64 v) { return WriteOrdered(&v, 8); }
  Bool WriteFloat32(Float32 v) { return WriteOrdered(&v, 4); }
  Bool WriteFloat64(Float64 v) { return WriteOrdered(&v, 8); }
  Bool WriteBytes(const void* data, Int64 len) { return WriteRaw(data, len); }

  Bool ReadBytes(void* data, Int64 len);
  Int64 GetLength() const;

 private:
  Bool WriteOrdered(const void* v, Int32 size);
  Bool WriteRaw(const void* v, Int64 len);
  Bool Flush();
  /// Waits for the buffer being written on the writer thread; its failure becomes the file's.
  void FinishWriting();
  std::FILE* OpenForWriting(int* err);

  std::FILE* file_ = nullptr;
  bool stream_ = false;
  std::string target_, temp_;
  FILEOPEN mode_ = FILEOPEN_READ;
  BYTEORDER order_ = BYTEORDER_MOTOROLA;
  FILEERROR error_ = FILEERROR_NONE;
  Int64 position_ = 0;
  std::vector<unsigned char> buffer_;
  // The buffer the writer thread is handing to the file, and the system's error if it failed.
  std::vector<unsigned char> writing_;
  std::thread writer_;
  int writerErrno_ = 0;
};

/// Resolves a texture file name the way the host looks for textures. The first file that
/// exists wins: an absolute `srcname` itself; `suggestedpath` + `srcname`; `docpath` +
/// `srcname` (a relative name is relative to the document's folder, never to the working
/// folder); `docpath`/tex + `srcname`; then the bare file name in `docpath`/tex and in `docpath`
/// (a texture whose folder has moved).
Bool GenerateTexturePath(const Filename& docpath, const Filename& srcname,
                         const Filename& suggestedpath, Filename* dstname, void* service = nullptr,
                         void* bmp = nullptr);
Bool GeFExist(const Filename& name, Bool isdir = false);

namespace host {
/// Where a write to `path` goes: a link is followed (hop by hop, also when it dangles) to the
/// file it stands for. `stream` is set for a character device or a FIFO, which is written
/// straight into; otherwise `resolved` is a regular file or a new name, to be replaced
/// atomically in its own folder. False with `err` (an errno value) for a folder, another kind
/// of file or a path that cannot be examined.
bool ResolveWriteTarget(const std::string& path, std::string* resolved, bool* stream, int* err);
/// The operating system's reason for the last failed file operation of this thread ("No
/// space left on device", "Permission denied", ...); empty when none failed.
std::string LastFileError();
void ClearLastFileError();
}  // namespace host
