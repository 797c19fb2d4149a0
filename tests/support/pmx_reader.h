// A small PMX 2.0 reader for tests that need exact bytes and floats (mmd-parser's JSON loses
// neither counts nor layout, but it rounds nothing either way we can rely on bit for bit).
// Reads exactly the subset the exporter writes and fails loudly on anything else.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace pmxtest {

struct Vertex {
  float position[3], normal[3], uv[2];
  int deformType = 0;
  int bone[4] = {0, 0, 0, 0};
  float weight[4] = {0, 0, 0, 0};
  float edgeScale = 0;
};

struct Material {
  std::u16string name, nameEnglish, memo;
  float diffuse[4], specular[3], specularPower, ambient[3];
  int flags = 0;
  float edgeColor[4], edgeSize;
  int texture = 0, sphereTexture = 0, sphereMode = 0, sharedToon = 0, toon = 0;
  int faceCount = 0;
};

struct Bone {
  std::u16string name, nameEnglish;
  float position[3];
  int parent = 0, layer = 0, flags = 0;
  int tailIndex = 0;
  float tailOffset[3] = {0, 0, 0};
  float fixedAxis[3] = {0, 0, 0};
  float localX[3] = {0, 0, 0}, localZ[3] = {0, 0, 0};
  int externalKey = 0;
};

struct MorphOffset {
  int vertex = 0;
  float offset[3];
};

struct Morph {
  std::u16string name, nameEnglish;
  int panel = 0, kind = 0;
  std::vector<MorphOffset> offsets;
};

struct Frame {
  std::u16string name, nameEnglish;
  int special = 0;
  std::vector<int> bones;
};

struct File {
  float version = 0;
  int globalsCount = 0;
  uint8_t globals[8] = {};
  int vertexSize() const { return globals[2]; }
  int textureSize() const { return globals[3]; }
  int materialSize() const { return globals[4]; }
  int boneSize() const { return globals[5]; }
  int morphSize() const { return globals[6]; }
  std::u16string modelName, modelNameEnglish, comment, commentEnglish;
  std::vector<Vertex> vertices;
  std::vector<uint32_t> faces;
  std::vector<std::u16string> textures;
  std::vector<Material> materials;
  std::vector<Bone> bones;
  std::vector<Morph> morphs;
  std::vector<Frame> frames;
  int rigidBodies = -1, joints = -1;
};

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot open " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

class Reader {
 public:
  explicit Reader(std::vector<uint8_t> bytes) : b_(std::move(bytes)) {}

  File Read() {
    File f;
    if (U8() != 'P' || U8() != 'M' || U8() != 'X' || U8() != ' ')
      throw std::runtime_error("bad magic");
    f.version = F32();
    f.globalsCount = U8();
    if (f.globalsCount != 8) throw std::runtime_error("unexpected globals count");
    for (auto& g : f.globals) g = U8();
    f.modelName = Text();
    f.modelNameEnglish = Text();
    f.comment = Text();
    f.commentEnglish = Text();
    const int vs = f.vertexSize(), ts = f.textureSize(), bs = f.boneSize();
    for (int n = I32(), i = 0; i < n; ++i) {
      Vertex v;
      for (float& x : v.position) x = F32();
      for (float& x : v.normal) x = F32();
      for (float& x : v.uv) x = F32();
      v.deformType = U8();
      switch (v.deformType) {
        case 0:
          v.bone[0] = Index(bs, false);
          break;
        case 1:
          v.bone[0] = Index(bs, false);
          v.bone[1] = Index(bs, false);
          v.weight[0] = F32();
          break;
        case 2:
          for (int& x : v.bone) x = Index(bs, false);
          for (float& x : v.weight) x = F32();
          break;
        default:
          throw std::runtime_error("unexpected deform type");
      }
      v.edgeScale = F32();
      f.vertices.push_back(v);
    }
    for (int n = I32(), i = 0; i < n; ++i)
      f.faces.push_back(static_cast<uint32_t>(Index(vs, true)));
    for (int n = I32(), i = 0; i < n; ++i) f.textures.push_back(Text());
    for (int n = I32(), i = 0; i < n; ++i) {
      Material m;
      m.name = Text();
      m.nameEnglish = Text();
      for (float& x : m.diffuse) x = F32();
      for (float& x : m.specular) x = F32();
      m.specularPower = F32();
      for (float& x : m.ambient) x = F32();
      m.flags = U8();
      for (float& x : m.edgeColor) x = F32();
      m.edgeSize = F32();
      m.texture = Index(ts, false);
      m.sphereTexture = Index(ts, false);
      m.sphereMode = U8();
      m.sharedToon = U8();
      m.toon = m.sharedToon ? static_cast<int8_t>(U8()) : Index(ts, false);
      m.memo = Text();
      m.faceCount = I32();
      f.materials.push_back(m);
    }
    for (int n = I32(), i = 0; i < n; ++i) {
      Bone b;
      b.name = Text();
      b.nameEnglish = Text();
      for (float& x : b.position) x = F32();
      b.parent = Index(bs, false);
      b.layer = I32();
      b.flags = U16();
      if (b.flags & 0x0001) {
        b.tailIndex = Index(bs, false);
      } else {
        for (float& x : b.tailOffset) x = F32();
      }
      if (b.flags & 0x0300) throw std::runtime_error("unexpected inherit block");
      if (b.flags & 0x0400)
        for (float& x : b.fixedAxis) x = F32();
      if (b.flags & 0x0800) {
        for (float& x : b.localX) x = F32();
        for (float& x : b.localZ) x = F32();
      }
      if (b.flags & 0x2000) b.externalKey = I32();
      if (b.flags & 0x0020) throw std::runtime_error("unexpected IK block");
      f.bones.push_back(b);
    }
    for (int n = I32(), i = 0; i < n; ++i) {
      Morph m;
      m.name = Text();
      m.nameEnglish = Text();
      m.panel = static_cast<int8_t>(U8());
      m.kind = static_cast<int8_t>(U8());
      for (int k = I32(), j = 0; j < k; ++j) {
        MorphOffset o;
        o.vertex = Index(vs, true);
        for (float& x : o.offset) x = F32();
        m.offsets.push_back(o);
      }
      f.morphs.push_back(m);
    }
    for (int n = I32(), i = 0; i < n; ++i) {
      Frame fr;
      fr.name = Text();
      fr.nameEnglish = Text();
      fr.special = U8();
      for (int k = I32(), j = 0; j < k; ++j) {
        if (U8() != 0) throw std::runtime_error("unexpected frame element kind");
        fr.bones.push_back(Index(bs, false));
      }
      f.frames.push_back(fr);
    }
    f.rigidBodies = I32();
    f.joints = I32();
    if (p_ != b_.size()) throw std::runtime_error("trailing bytes after the joint count");
    return f;
  }

 private:
  void Need(size_t n) {
    if (p_ + n > b_.size()) throw std::runtime_error("truncated file");
  }
  uint8_t U8() {
    Need(1);
    return b_[p_++];
  }
  uint16_t U16() {
    Need(2);
    uint16_t v = static_cast<uint16_t>(b_[p_] | (b_[p_ + 1] << 8));
    p_ += 2;
    return v;
  }
  int32_t I32() {
    Need(4);
    uint32_t v = static_cast<uint32_t>(b_[p_]) | (static_cast<uint32_t>(b_[p_ + 1]) << 8) |
                 (static_cast<uint32_t>(b_[p_ + 2]) << 16) |
                 (static_cast<uint32_t>(b_[p_ + 3]) << 24);
    p_ += 4;
    return static_cast<int32_t>(v);
  }
  float F32() {
    int32_t i = I32();
    float f;
    std::memcpy(&f, &i, 4);
    return f;
  }
  int Index(int size, bool vertex) {
    switch (size) {
      case 1:
        return vertex ? U8() : static_cast<int8_t>(U8());
      case 2:
        return vertex ? U16() : static_cast<int16_t>(U16());
      case 4:
        return I32();
      default:
        throw std::runtime_error("bad index size");
    }
  }
  std::u16string Text() {
    const int32_t n = I32();
    if (n < 0 || n % 2) throw std::runtime_error("bad text length");
    std::u16string s;
    for (int i = 0; i < n / 2; ++i) s.push_back(static_cast<char16_t>(U16()));
    return s;
  }

  std::vector<uint8_t> b_;
  size_t p_ = 0;
};

inline File ReadPmx(const std::string& path) { return Reader(ReadBytes(path)).Read(); }

}  // namespace pmxtest
