#include "pmx/pmxwriter.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

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

void PmxFileWriter::Flush() {
  if (used_ > 0 && file_) file_->WriteBytes(buffer_.data(), static_cast<Int64>(used_));
  used_ = 0;
}

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
  const Int32 length = text.GetLength();
  WriteInt32(2 * length);
  text_.resize(static_cast<size_t>(length));
  if (length > 0) text.GetUcBlock(text_.data(), length);
  for (UInt16 u : text_) WriteUInt16(u);
}

void PmxFileWriter::WriteIndex(Int64 value, UInt8 size, bool vertexKind) {
  // The header announced the sizes from the list lengths: an index that does not fit is a
  // model that refers outside its own lists.
  assert(size == 1 || size == 2 || size == 4);
  assert(vertexKind ? value >= 0 && (size == 4 || value < (Int64{1} << (8 * size)))
                    : value >= -1 && value < (Int64{1} << (8 * size - 1)));
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

namespace {

void WriteHeader(PmxFileWriter& w, const PmxModelHeader& header) {
  const PmxIndexSizes& sizes = w.GetIndexSizes();
  for (char c : {'P', 'M', 'X', ' '}) w.WriteInt8(static_cast<Int8>(c));
  w.WriteFloat32(2.0f);
  w.WriteUInt8(8);
  w.WriteUInt8(0);  // UTF-16LE texts
  w.WriteUInt8(0);  // no additional UV
  w.WriteUInt8(sizes.vertex);
  w.WriteUInt8(sizes.texture);
  w.WriteUInt8(sizes.material);
  w.WriteUInt8(sizes.bone);
  w.WriteUInt8(sizes.morph);
  w.WriteUInt8(sizes.rigidBody);
  w.WriteText(header.modelName);
  w.WriteText(header.modelNameEnglish);
  w.WriteText(header.comment);
  w.WriteText(header.commentEnglish);
}

void WriteVertices(PmxFileWriter& w, const PmxModel& model) {
  const PmxIndexSizes& sizes = w.GetIndexSizes();
  w.WriteInt32(static_cast<Int32>(model.vertices.size()));
  const UInt8 bone = sizes.bone;
  for (size_t i = 0; i < model.vertices.size(); ++i) {
    const PmxVertex& v = model.vertices[i];
    for (Float p : v.position) w.WriteReal(p);
    for (Float32 n : v.normal) w.WriteFloat32(n);
    w.WriteFloat32(v.uv[0]);
    w.WriteFloat32(v.uv[1]);
    w.WriteUInt8(static_cast<UInt8>(v.deformType));
    switch (v.deformType) {
      case PMX_DEFORM_BDEF1:
        w.WriteIndex(v.boneIndex[0], bone, false);
        break;
      case PMX_DEFORM_BDEF2:
        w.WriteIndex(v.boneIndex[0], bone, false);
        w.WriteIndex(v.boneIndex[1], bone, false);
        w.WriteReal(v.boneWeight[0]);
        break;
      case PMX_DEFORM_BDEF4:
        for (Int32 b : v.boneIndex) w.WriteIndex(b, bone, false);
        for (Float weight : v.boneWeight) w.WriteReal(weight);
        break;
      case PMX_DEFORM_SDEF:
        w.WriteIndex(v.boneIndex[0], bone, false);
        w.WriteIndex(v.boneIndex[1], bone, false);
        w.WriteReal(v.boneWeight[0]);
        const PmxSdefParams sdef = i < model.sdef.size() ? model.sdef[i] : PmxSdefParams();
        for (const Vector& s : {sdef.c, sdef.r0, sdef.r1}) {
          w.WriteReal(s.x);
          w.WriteReal(s.y);
          w.WriteReal(s.z);
        }
        break;
    }
    w.WriteReal(v.edgeScale);
  }
}

void WriteFaces(PmxFileWriter& w, const PmxModel& model) {
  const PmxIndexSizes& sizes = w.GetIndexSizes();
  w.WriteInt32(static_cast<Int32>(3 * model.GetTriangleCount()));
  const UInt8 size = sizes.vertex;
  for (const PmxMaterial& m : model.materials) {
    for (const PmxTriangle& t : m.triangles) {
      for (Int32 i : t.vertexIndex) w.WriteIndex(i, size, true);
    }
  }
}

void WriteTextures(PmxFileWriter& w, const PmxModel& model) {
  w.WriteInt32(static_cast<Int32>(model.textures.size()));
  for (const String& path : model.textures) w.WriteText(path);
}

void WriteMaterials(PmxFileWriter& w, const PmxModel& model) {
  const PmxIndexSizes& sizes = w.GetIndexSizes();
  w.WriteInt32(static_cast<Int32>(model.materials.size()));
  for (const PmxMaterial& m : model.materials) {
    w.WriteText(m.name);
    w.WriteText(m.nameEnglish);
    for (Float d : m.diffuse) w.WriteReal(d);
    for (Float s : m.specular) w.WriteReal(s);
    w.WriteReal(m.specularPower);
    for (Float a : m.ambient) w.WriteReal(a);
    UInt8 flags = 0;
    if (m.doubleSided) flags |= 0x01;
    if (m.groundShadow) flags |= 0x02;
    if (m.selfShadowMap) flags |= 0x04;
    if (m.selfShadow) flags |= 0x08;
    if (m.drawEdge) flags |= 0x10;
    w.WriteUInt8(flags);
    for (Float e : m.edgeColor) w.WriteReal(e);
    w.WriteReal(m.edgeSize);
    w.WriteIndex(m.textureIndex, sizes.texture, false);
    w.WriteIndex(m.sphereTextureIndex, sizes.texture, false);
    w.WriteUInt8(static_cast<UInt8>(m.sphereMode));
    w.WriteUInt8(static_cast<UInt8>(m.sharedToon));
    if (m.sharedToon) {
      w.WriteInt8(m.toonIndex);
    } else {
      w.WriteIndex(m.toonIndex, sizes.texture, false);
    }
    w.WriteText(m.memo);
    w.WriteInt32(static_cast<Int32>(3 * m.triangles.size()));
  }
}

void WriteBones(PmxFileWriter& w, const PmxModel& model) {
  const PmxIndexSizes& sizes = w.GetIndexSizes();
  w.WriteInt32(static_cast<Int32>(model.bones.size()));
  const UInt8 size = sizes.bone;
  for (const PmxBone& b : model.bones) {
    w.WriteText(b.name);
    w.WriteText(b.nameEnglish);
    for (Float p : b.position) w.WriteReal(p);
    w.WriteIndex(b.parentIndex, size, false);
    w.WriteInt32(b.layer);
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
    w.WriteUInt16(flags);
    if (flags & 0x0001) {
      w.WriteIndex(b.tailIndex, size, false);
    } else {
      for (Float t : b.tailOffset) w.WriteReal(t);
    }
    if (flags & (0x0100 | 0x0200)) {
      w.WriteIndex(b.inheritParentIndex, size, false);
      w.WriteReal(b.inheritWeight);
    }
    if (flags & 0x0400) {
      for (Float a : b.fixedAxisDirection) w.WriteReal(a);
    }
    if (flags & 0x0800) {
      for (Float a : b.localAxisX) w.WriteReal(a);
      for (Float a : b.localAxisZ) w.WriteReal(a);
    }
    if (flags & 0x2000) w.WriteInt32(b.externalParentKey);
  }
}

void WriteMorphs(PmxFileWriter& w, const PmxModel& model) {
  const PmxIndexSizes& sizes = w.GetIndexSizes();
  w.WriteInt32(static_cast<Int32>(model.morphs.size()));
  for (const PmxMorph& morph : model.morphs) {
    w.WriteText(morph.name);
    w.WriteText(morph.nameEnglish);
    w.WriteInt8(4);  // the "other" panel
    w.WriteInt8(1);  // vertex morph
    w.WriteInt32(static_cast<Int32>(morph.offsets.size()));
    for (const PmxMorphOffset& o : morph.offsets) {
      w.WriteIndex(o.vertexIndex, sizes.vertex, true);
      for (Float d : o.offset) w.WriteReal(d);
    }
  }
}

void WriteDisplayFrames(PmxFileWriter& w, const PmxModel& model) {
  const PmxIndexSizes& sizes = w.GetIndexSizes();
  w.WriteInt32(static_cast<Int32>(model.displayFrames.size()));
  for (const PmxDisplayFrame& f : model.displayFrames) {
    w.WriteText(f.name);
    w.WriteText(f.nameEnglish);
    w.WriteInt8(f.special ? 1 : 0);
    w.WriteInt32(static_cast<Int32>(f.elements.size()));
    for (const PmxDisplayFrameElement& e : f.elements) {
      w.WriteInt8(static_cast<Int8>(e.kind));
      w.WriteIndex(e.boneIndex, sizes.bone, false);
    }
  }
}

}  // namespace

void PmxWriteModel(BaseFile* file, const PmxModel& model) {
  const PmxModelHeader header = model.GetHeader();
  PmxFileWriter w(file, PmxComputeIndexSizes(header));
  WriteHeader(w, header);
  WriteVertices(w, model);
  WriteFaces(w, model);
  WriteTextures(w, model);
  WriteMaterials(w, model);
  WriteBones(w, model);
  WriteMorphs(w, model);
  WriteDisplayFrames(w, model);
  w.WriteInt32(header.rigidBodyCount);
  w.WriteInt32(header.jointCount);
  w.Flush();
}

namespace {

bool FitsSingle(Float v) {
  return std::isfinite(v) && std::abs(v) <= std::numeric_limits<Float32>::max();
}

template <size_t N>
bool FitSingle(const Float (&values)[N]) {
  for (Float v : values)
    if (!FitsSingle(v)) return false;
  return true;
}

bool FitSingle(const Vector& v) { return FitsSingle(v.x) && FitsSingle(v.y) && FitsSingle(v.z); }

template <size_t N>
bool FitSingle(const Float32 (&values)[N]) {
  for (Float32 v : values)
    if (!std::isfinite(v)) return false;
  return true;
}

String ObjectOfVertex(const PmxModel& model, Int64 vertex) {
  String object;
  for (const PmxModelPart& part : model.parts) {
    if (part.firstVertex > vertex) break;
    object = part.object;
  }
  return object;
}

}  // namespace

String PmxFindUnwritableValue(const PmxModel& model) {
  const String suffix("に単精度で表せない値があります");
  for (size_t i = 0; i < model.vertices.size(); ++i) {
    const PmxVertex& v = model.vertices[i];
    if (!FitSingle(v.position) || !FitSingle(v.normal) || !FitSingle(v.uv) ||
        !FitSingle(v.boneWeight) || !FitsSingle(v.edgeScale) ||
        (i < model.sdef.size() && (!FitSingle(model.sdef[i].c) || !FitSingle(model.sdef[i].r0) ||
                                   !FitSingle(model.sdef[i].r1)))) {
      const auto index = static_cast<Int64>(i);
      return String("オブジェクト[") + ObjectOfVertex(model, index) + String("]の頂点") +
             String::IntToString(index) + suffix;
    }
  }
  for (const PmxMaterial& m : model.materials) {
    if (!FitSingle(m.diffuse) || !FitSingle(m.specular) || !FitsSingle(m.specularPower) ||
        !FitSingle(m.ambient) || !FitSingle(m.edgeColor) || !FitsSingle(m.edgeSize))
      return String("マテリアル[") + m.name + String("]") + suffix;
  }
  for (const PmxBone& b : model.bones) {
    if (!FitSingle(b.position) || !FitSingle(b.tailOffset) || !FitsSingle(b.inheritWeight) ||
        !FitSingle(b.fixedAxisDirection) || !FitSingle(b.localAxisX) || !FitSingle(b.localAxisZ))
      return String("ボーン[") + b.name + String("]") + suffix;
  }
  for (const PmxMorph& m : model.morphs) {
    for (const PmxMorphOffset& o : m.offsets) {
      if (!FitSingle(o.offset)) return String("モーフ[") + m.name + String("]") + suffix;
    }
  }
  return String();
}
