#include "pmx/pmxwriter.h"

#include <bit>
#include <cstring>
#include <unordered_map>

UInt8 PmxVertexIndexSize(Int64 count) {
  if (count < 256) return 1;
  if (count < 65536) return 2;
  return 4;
}

UInt8 PmxSignedIndexSize(Int64 count) {
  if (count < 128) return 1;
  if (count < 32768) return 2;
  return 4;
}

PmxIndexSizes PmxComputeIndexSizes(const PmxModelHeader& header) {
  PmxIndexSizes s;
  s.vertex = PmxVertexIndexSize(header.vertexCount);
  s.texture = PmxSignedIndexSize(header.textureCount);
  s.material = PmxSignedIndexSize(header.materialCount);
  s.bone = PmxSignedIndexSize(header.boneCount);
  s.morph = PmxSignedIndexSize(header.morphCount);
  s.rigidBody = PmxSignedIndexSize(header.rigidBodyCount);
  return s;
}

void PmxFillHeaderCounts(const PmxPolygonExchange& model, PmxModelHeader* header) {
  header->vertexCount = static_cast<Int32>(model.vertices.size());
  header->triangleCount = static_cast<Int32>(model.GetTriangleCount());
  header->textureCount = static_cast<Int32>(model.textureNames.size());
  header->materialCount = static_cast<Int32>(model.materials.size());
  header->boneCount = static_cast<Int32>(model.bones.size());
  header->morphCount = static_cast<Int32>(model.morphsByName.size());
  header->displayFrameCount = static_cast<Int32>(model.displayFrames.size());
  header->rigidBodyCount = 0;
  header->jointCount = 0;
}

String PmxTexturePath(const String& stored, const PmxExportSettings& settings) {
  if (settings.useTextureFolder) return settings.textureFolder + stored;
  Filename resolved;
  if (!GenerateTexturePath(settings.documentPath, Filename(stored), Filename(), &resolved))
    return String();
  return resolved.GetString();
}

PmxFileWriter::PmxFileWriter(BaseFile* file, const PmxModelHeader& header)
    : file_(file), header_(header), sizes_(PmxComputeIndexSizes(header)) {}

void PmxFileWriter::Flush() {
  if (used_ > 0 && file_) file_->WriteBytes(buffer_.data(), static_cast<Int64>(used_));
  used_ = 0;
}

void PmxFileWriter::WriteFloat32(Float32 v) { PutLe(std::bit_cast<UInt32>(v), 4); }

void PmxFileWriter::WriteBytes(const void* data, size_t len) {
  const auto* p = static_cast<const UInt8*>(data);
  while (len > 0) {
    if (used_ == buffer_.size()) Flush();
    const size_t n = std::min(len, buffer_.size() - used_);
    std::memcpy(buffer_.data() + used_, p, n);
    used_ += n;
    p += n;
    len -= n;
  }
}

void PmxFileWriter::WriteText(const String& text) {
  const std::u16string& units = text.GetUtf16();
  WriteInt32(static_cast<Int32>(units.size() * 2));
  for (char16_t u : units) WriteUInt16(static_cast<UInt16>(u));
}

void PmxFileWriter::WriteIndex(Int64 value, UInt8 size, bool vertexKind) {
  switch (size) {
    case 1:
      if (vertexKind) {
        WriteUInt8(static_cast<UInt8>(value));
      } else {
        WriteInt8(static_cast<Int8>(value));
      }
      break;
    case 2:
      if (vertexKind) {
        WriteUInt16(static_cast<UInt16>(value));
      } else {
        WriteInt16(static_cast<Int16>(value));
      }
      break;
    default:
      WriteInt32(static_cast<Int32>(value));
      break;
  }
}

Int32 PmxFileWriter::WriteHeader() {
  for (char c : {'P', 'M', 'X', ' '}) WriteInt8(static_cast<Int8>(c));
  WriteFloat32(2.0f);
  WriteUInt8(8);
  WriteUInt8(0);  // UTF-16LE texts
  WriteUInt8(0);  // no additional UV
  WriteUInt8(sizes_.vertex);
  WriteUInt8(sizes_.texture);
  WriteUInt8(sizes_.material);
  WriteUInt8(sizes_.bone);
  WriteUInt8(sizes_.morph);
  WriteUInt8(sizes_.rigidBody);
  WriteText(header_.modelName);
  WriteText(header_.modelNameEnglish);
  WriteText(header_.comment);
  WriteText(header_.commentEnglish);
  return 0;
}

Int32 PmxFileWriter::WriteVertices(const PmxPolygonExchange& model) {
  WriteInt32(static_cast<Int32>(model.vertices.size()));
  const UInt8 bone = sizes_.bone;
  for (const PmxVertex& v : model.vertices) {
    for (Float p : v.position) WriteFloat32(static_cast<Float32>(p));
    for (Float32 n : v.normal) WriteFloat32(n);
    WriteFloat32(v.uv[0]);
    WriteFloat32(v.uv[1]);
    WriteUInt8(static_cast<UInt8>(v.deformType));
    switch (v.deformType) {
      case PMX_DEFORM_BDEF1:
        WriteIndex(v.boneIndex[0], bone, false);
        break;
      case PMX_DEFORM_BDEF2:
        WriteIndex(v.boneIndex[0], bone, false);
        WriteIndex(v.boneIndex[1], bone, false);
        WriteFloat32(static_cast<Float32>(v.boneWeight[0]));
        break;
      case PMX_DEFORM_BDEF4:
        for (Int64 b : v.boneIndex) WriteIndex(b, bone, false);
        for (Float w : v.boneWeight) WriteFloat32(static_cast<Float32>(w));
        break;
      case PMX_DEFORM_SDEF:
        WriteIndex(v.boneIndex[0], bone, false);
        WriteIndex(v.boneIndex[1], bone, false);
        WriteFloat32(static_cast<Float32>(v.boneWeight[0]));
        for (const Vector& s : {v.sdefC, v.sdefR0, v.sdefR1}) {
          WriteFloat32(static_cast<Float32>(s.x));
          WriteFloat32(static_cast<Float32>(s.y));
          WriteFloat32(static_cast<Float32>(s.z));
        }
        break;
    }
    WriteFloat32(static_cast<Float32>(v.edgeScale));
  }
  return 0;
}

Int32 PmxFileWriter::WriteFaces(const PmxPolygonExchange& model) {
  WriteInt32(static_cast<Int32>(3 * model.GetTriangleCount()));
  const UInt8 size = sizes_.vertex;
  for (const auto& m : model.materials) {
    for (const PmxTriangle& t : m->triangles) {
      for (Int64 i : t.vertexIndex) WriteIndex(i, size, true);
    }
  }
  return 0;
}

Int32 PmxFileWriter::WriteTextures(const PmxPolygonExchange& model,
                                   const PmxExportSettings& settings) {
  WriteInt32(static_cast<Int32>(model.textureNames.size()));
  for (const String& name : model.textureNames) WriteText(PmxTexturePath(name, settings));
  return 0;
}

Int32 PmxFileWriter::WriteMaterials(const PmxPolygonExchange& model) {
  WriteInt32(static_cast<Int32>(model.materials.size()));
  for (const auto& mp : model.materials) {
    const PmxMaterial& m = *mp;
    WriteText(m.name);
    WriteText(m.nameEnglish);
    for (Float d : m.diffuse) WriteFloat32(static_cast<Float32>(d));
    for (Float s : m.specular) WriteFloat32(static_cast<Float32>(s));
    WriteFloat32(static_cast<Float32>(m.specularPower));
    for (Float a : m.ambient) WriteFloat32(static_cast<Float32>(a));
    UInt8 flags = 0;
    if (m.doubleSided) flags |= 0x01;
    if (m.groundShadow) flags |= 0x02;
    if (m.selfShadowMap) flags |= 0x04;
    if (m.selfShadow) flags |= 0x08;
    if (m.drawEdge) flags |= 0x10;
    WriteUInt8(flags);
    for (Float e : m.edgeColor) WriteFloat32(static_cast<Float32>(e));
    WriteFloat32(static_cast<Float32>(m.edgeSize));
    WriteIndex(m.textureIndex, sizes_.texture, false);
    WriteIndex(m.sphereTextureIndex, sizes_.texture, false);
    WriteUInt8(static_cast<UInt8>(m.sphereMode));
    WriteUInt8(static_cast<UInt8>(m.sharedToon));
    if (m.sharedToon) {
      WriteInt8(m.toonIndex);
    } else {
      WriteIndex(m.toonIndex, sizes_.texture, false);
    }
    WriteText(m.memo);
    WriteInt32(static_cast<Int32>(3 * m.triangles.size()));
  }
  return 0;
}

Int32 PmxFileWriter::WriteBones(const PmxPolygonExchange& model) {
  WriteInt32(static_cast<Int32>(model.bones.size()));
  const UInt8 size = sizes_.bone;
  for (const auto& bp : model.bones) {
    const PmxBone& b = *bp;
    WriteText(b.name);
    WriteText(b.nameEnglish);
    for (Float p : b.position) WriteFloat32(static_cast<Float32>(p));
    WriteIndex(b.parentIndex, size, false);
    WriteInt32(b.layer);
    UInt16 flags = 0;
    if (b.tailIsBone) flags |= 0x0001;
    if (b.rotatable) flags |= 0x0002;
    if (b.movable) flags |= 0x0004;
    if (b.visible) flags |= 0x0008;
    if (b.operable) flags |= 0x0010;
    if (b.ik) flags |= 0x0020;
    if (b.inheritLocal) flags |= 0x0080;
    if (b.inheritRotation) flags |= 0x0100;
    if (b.inheritTranslation) flags |= 0x0200;
    if (b.fixedAxis) flags |= 0x0400;
    if (b.localAxis) flags |= 0x0800;
    if (b.physicsAfterDeform) flags |= 0x1000;
    if (b.externalParent) flags |= 0x2000;
    WriteUInt16(flags);
    if (flags & 0x0001) {
      WriteIndex(b.tailIndex, size, false);
    } else {
      for (Float t : b.tailOffset) WriteFloat32(static_cast<Float32>(t));
    }
    if (flags & (0x0100 | 0x0200)) {
      WriteIndex(b.inheritParentIndex, size, false);
      WriteFloat32(static_cast<Float32>(b.inheritWeight));
    }
    if (flags & 0x0400) {
      for (Float a : b.fixedAxisDirection) WriteFloat32(static_cast<Float32>(a));
    }
    if (flags & 0x0800) {
      for (Float a : b.localAxisX) WriteFloat32(static_cast<Float32>(a));
      for (Float a : b.localAxisZ) WriteFloat32(static_cast<Float32>(a));
    }
    if (flags & 0x2000) WriteInt32(b.externalParentKey);
  }
  return 0;
}

Int32 PmxFileWriter::WriteMorphs(const PmxPolygonExchange& model) {
  WriteInt32(static_cast<Int32>(model.morphsByName.size()));
  for (const auto& [name, morph] : model.morphsByName) {
    WriteText(morph->name);
    WriteText(morph->nameEnglish);
    WriteInt8(4);  // the "other" panel
    WriteInt8(1);  // vertex morph
    WriteInt32(static_cast<Int32>(morph->offsets.size()));
    for (const PmxMorphOffset& o : morph->offsets) {
      WriteIndex(o.vertexIndex, sizes_.vertex, true);
      for (Float d : o.offset) WriteFloat32(static_cast<Float32>(d));
    }
  }
  return 0;
}

Int32 PmxFileWriter::WriteDisplayFrames(const PmxPolygonExchange& model) {
  WriteInt32(static_cast<Int32>(model.displayFrames.size()));
  std::unordered_map<const PmxBone*, Int64> boneIndex;
  for (size_t i = 0; i < model.bones.size(); ++i)
    boneIndex.emplace(model.bones[i].get(), static_cast<Int64>(i));
  for (const auto& fp : model.displayFrames) {
    const PmxDisplayFrame& f = *fp;
    WriteText(f.name);
    WriteText(f.nameEnglish);
    WriteInt8(f.special ? 1 : 0);
    WriteInt32(static_cast<Int32>(f.elements.size()));
    for (const PmxDisplayFrameElement& e : f.elements) {
      WriteInt8(static_cast<Int8>(e.kind));
      auto it = boneIndex.find(e.bone);
      WriteIndex(it == boneIndex.end() ? -1 : it->second, sizes_.bone, false);
    }
  }
  return 0;
}

void PmxWriteFile(BaseFile* file, const PmxModelHeader& header, const PmxPolygonExchange& model,
                  const PmxExportSettings& settings) {
  PmxFileWriter w(file, header);
  w.WriteHeader();
  w.WriteVertices(model);
  w.WriteFaces(model);
  w.WriteTextures(model, settings);
  w.WriteMaterials(model);
  w.WriteBones(model);
  w.WriteMorphs(model);
  w.WriteDisplayFrames(model);
  w.WriteInt32(header.rigidBodyCount);
  w.WriteInt32(header.jointCount);
  w.Flush();
}
