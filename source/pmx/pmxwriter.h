// The PMX 2.0 file writer: turns a model into bytes on a host file. It knows nothing of
// documents or disks.
#pragma once

#include <bit>
#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "pmx/pmxmodel.h"

/// Sizes (1, 2 or 4 bytes) of the indices of each kind, announced in the header.
struct PmxIndexSizes {
  UInt8 vertex = 1;
  UInt8 texture = 1;
  UInt8 material = 1;
  UInt8 bone = 1;
  UInt8 morph = 1;
  UInt8 rigidBody = 1;
};

/// Index size of a vertex list of `count` entries (vertex indices are unsigned below 4 bytes).
UInt8 PmxVertexIndexSize(Int64 count);
/// Index size of any other list of `count` entries (signed indices).
UInt8 PmxSignedIndexSize(Int64 count);
PmxIndexSizes PmxComputeIndexSizes(const PmxModelHeader& header);

/// Describes the first value of `model` that single precision cannot hold (not a number,
/// infinite, or beyond its range) with the element it belongs to; empty when every value can
/// be written. Such a file would be rejected by every reader, so it must not be written.
String PmxFindUnwritableValue(const PmxModel& model);

/// Writes `model` as a whole PMX 2.0 file: header, vertices, faces, textures, materials,
/// bones, morphs, display frames, then the (empty) rigid body and joint sections. Every index
/// in the model must refer into its lists (or be -1 where the format allows "none"). Write
/// errors stay in the file's error state, which the caller reads after closing it.
void PmxWriteModel(BaseFile* file, const PmxModel& model);

/// Little-endian staging of values on their way to a host file: they are collected in a
/// small buffer and handed to the file in blocks.
class PmxFileWriter {
 public:
  PmxFileWriter(BaseFile* file, const PmxIndexSizes& sizes) : file_(file), sizes_(sizes) {}
  PmxFileWriter(const PmxFileWriter&) = delete;
  PmxFileWriter& operator=(const PmxFileWriter&) = delete;
  ~PmxFileWriter() { Flush(); }

  const PmxIndexSizes& GetIndexSizes() const { return sizes_; }

  void WriteInt8(Int8 v) { Put(static_cast<UInt8>(v)); }
  void WriteUInt8(UInt8 v) { Put(v); }
  void WriteInt16(Int16 v) { PutLe(static_cast<UInt16>(v), 2); }
  void WriteUInt16(UInt16 v) { PutLe(v, 2); }
  void WriteInt32(Int32 v) { PutLe(static_cast<UInt32>(v), 4); }
  void WriteFloat32(Float32 v) { PutLe(std::bit_cast<UInt32>(v), 4); }
  /// A double narrowed to single precision. It must fit: a value that does not is found by
  /// PmxFindUnwritableValue before anything is written.
  void WriteReal(Float v) {
    assert(std::isfinite(v) && std::abs(v) <= std::numeric_limits<Float32>::max());
    WriteFloat32(static_cast<Float32>(v));
  }
  void WriteBytes(const void* data, size_t len);
  /// Byte length, then the UTF-16LE code units, no terminator.
  void WriteText(const String& text);
  /// An index into a list of `size`-byte indices; -1 means "none" except for vertices,
  /// whose indices are unsigned below 4 bytes.
  void WriteIndex(Int64 value, UInt8 size, bool vertexKind);
  /// Hands the staged bytes to the file.
  void Flush();

 private:
  void Put(UInt8 b) {
    if (used_ == buffer_.size()) Flush();
    buffer_[used_++] = b;
  }
  void PutLe(UInt32 v, int bytes) {
    if (used_ + 4 > buffer_.size()) Flush();
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(buffer_.data() + used_, &v, static_cast<size_t>(bytes));
      used_ += static_cast<size_t>(bytes);
    } else {
      for (int i = 0; i < bytes; ++i) buffer_[used_++] = static_cast<UInt8>(v >> (8 * i));
    }
  }

  BaseFile* file_;
  PmxIndexSizes sizes_;
  size_t used_ = 0;
  std::vector<UInt8> buffer_ = std::vector<UInt8>(1 << 16);
  std::vector<UInt16> text_;  // the code units of the text being written
};
