// The PMX 2.0 file writer. It knows the model and an output file, nothing of documents.
#pragma once

#include <bit>
#include <cstring>
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

/// Sets the nine counts of `header` from the model (rigid bodies and joints are always 0).
void PmxFillHeaderCounts(const PmxPolygonExchange& model, PmxModelHeader* header);

/// The text written for a texture entry: the texture folder followed by the stored name, or
/// the name resolved against the document's folder (empty when it cannot be found).
String PmxTexturePath(const String& stored, const PmxExportSettings& settings);

/// Writes the sections of a PMX file in little-endian order. Values are staged in a small
/// buffer and handed to the file in blocks; no section is held in memory as a whole. The
/// file keeps its own error state, which the caller reads after closing it.
class PmxFileWriter {
 public:
  PmxFileWriter(BaseFile* file, const PmxModelHeader& header);
  PmxFileWriter(const PmxFileWriter&) = delete;
  PmxFileWriter& operator=(const PmxFileWriter&) = delete;
  ~PmxFileWriter() { Flush(); }

  const PmxIndexSizes& GetIndexSizes() const { return sizes_; }

  Int32 WriteHeader();
  Int32 WriteVertices(const PmxPolygonExchange& model);
  Int32 WriteFaces(const PmxPolygonExchange& model);
  Int32 WriteTextures(const PmxPolygonExchange& model, const PmxExportSettings& settings);
  Int32 WriteMaterials(const PmxPolygonExchange& model);
  Int32 WriteBones(const PmxPolygonExchange& model);
  Int32 WriteMorphs(const PmxPolygonExchange& model);
  Int32 WriteDisplayFrames(const PmxPolygonExchange& model);

  void WriteInt8(Int8 v) { Put(static_cast<UInt8>(v)); }
  void WriteUInt8(UInt8 v) { Put(v); }
  void WriteInt16(Int16 v) { PutLe(static_cast<UInt16>(v), 2); }
  void WriteUInt16(UInt16 v) { PutLe(v, 2); }
  void WriteInt32(Int32 v) { PutLe(static_cast<UInt32>(v), 4); }
  void WriteFloat32(Float32 v);
  void WriteBytes(const void* data, size_t len);
  /// Byte length, then the UTF-16 code units, no terminator.
  void WriteText(const String& text);
  /// `value` truncated to `size` bytes; vertex indices below 4 bytes are unsigned.
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
  const PmxModelHeader& header_;
  PmxIndexSizes sizes_;
  size_t used_ = 0;
  std::vector<UInt8> buffer_ = std::vector<UInt8>(1 << 16);
};

/// Writes the whole file: header, vertices, faces, textures, materials, bones, morphs,
/// display frames, then the (empty) rigid body and joint counts.
void PmxWriteFile(BaseFile* file, const PmxModelHeader& header, const PmxPolygonExchange& model,
                  const PmxExportSettings& settings);
