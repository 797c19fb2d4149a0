#include "pmx_finish.h"

#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "c4d.h"

namespace pmxapp {

namespace {

/// A cursor over the PMX content that never reads past its end.
struct Reader {
  const std::string& data;
  size_t at = 0;
  bool ok = true;

  bool Need(size_t n) {
    if (!ok || n > data.size() - at) ok = false;
    return ok;
  }
  void Skip(size_t n) {
    if (Need(n)) at += n;
  }
  int32_t Int32() {
    int32_t v = 0;
    if (Need(4)) std::memcpy(&v, data.data() + at, 4);
    at += ok ? 4 : 0;
    return v;
  }
  uint8_t Byte() {
    uint8_t v = 0;
    if (Need(1)) v = static_cast<uint8_t>(data[at++]);
    return v;
  }
  /// A text's bytes (without its length).
  std::string Text() {
    const int32_t n = Int32();
    if (n < 0) ok = false;
    if (!ok || !Need(static_cast<size_t>(n))) return {};
    std::string t = data.substr(at, static_cast<size_t>(n));
    at += static_cast<size_t>(n);
    return t;
  }
  /// A count of records that each take at least `least` bytes.
  size_t Count(size_t least) {
    const int32_t n = Int32();
    if (n < 0 || (least > 0 && static_cast<size_t>(n) > (data.size() - at) / least)) ok = false;
    return ok ? static_cast<size_t>(n) : 0;
  }
};

void PutInt32(std::string* out, int32_t v) {
  char b[4];
  std::memcpy(b, &v, 4);
  out->append(b, 4);
}

void PutFloat(std::string* out, float v) {
  char b[4];
  std::memcpy(b, &v, 4);
  out->append(b, 4);
}

/// Text in the file's encoding (0 UTF-16LE, 1 UTF-8) to UTF-8 and back.
std::string Decode(const std::string& bytes, uint8_t encoding) {
  if (encoding == 1) return bytes;
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                     (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
  return String::ToUtf8(units);
}

std::string Encode(const std::string& utf8, uint8_t encoding) {
  std::string out;
  if (encoding == 1) {
    out = utf8;
  } else {
    for (char16_t u : String::FromUtf8(utf8)) {
      out += static_cast<char>(u & 0xff);
      out += static_cast<char>(u >> 8);
    }
  }
  std::string withLength;
  PutInt32(&withLength, static_cast<int32_t>(out.size()));
  return withLength + out;
}

}  // namespace

bool FinishPmx(std::string* pmx, const PmxFinish& finish, std::string* error) {
  const std::string& in = *pmx;
  Reader r{in};
  if (in.size() < 9 || in.compare(0, 4, "PMX ") != 0) {
    *error = "the saver's file is not a PMX file";
    return false;
  }
  r.Skip(8);
  const uint8_t globalCount = r.Byte();
  if (globalCount < 8) r.ok = false;
  uint8_t g[8] = {};
  for (uint8_t i = 0; i < globalCount && r.ok; ++i) {
    const uint8_t v = r.Byte();
    if (i < 8) g[i] = v;
  }
  const uint8_t encoding = g[0], extraUv = g[1], vertexIndex = g[2], textureIndex = g[3];
  const uint8_t boneIndex = g[5];
  auto indexSizeOk = [](uint8_t s) { return s == 1 || s == 2 || s == 4; };
  if (encoding > 1 || extraUv > 4 || !indexSizeOk(vertexIndex) || !indexSizeOk(textureIndex) ||
      !indexSizeOk(boneIndex))
    r.ok = false;
  const size_t headerEnd = r.at;
  for (int i = 0; i < 4; ++i) r.Text();
  const size_t textsEnd = r.at;

  // Vertices: position, normal, UV, extra UVs, deform, edge scale.
  const size_t vertices = r.Count(1);
  for (size_t v = 0; v < vertices && r.ok; ++v) {
    r.Skip(32 + 16 * static_cast<size_t>(extraUv));
    switch (r.Byte()) {
      case 0:
        r.Skip(boneIndex);
        break;
      case 1:
        r.Skip(2 * boneIndex + 4);
        break;
      case 2:
        r.Skip(4 * boneIndex + 16);
        break;
      case 3:
        r.Skip(2 * boneIndex + 4 + 36);
        break;
      case 4:
        r.Skip(4 * boneIndex + 16);
        break;
      default:
        r.ok = false;
    }
    r.Skip(4);
  }
  const size_t faces = r.Count(vertexIndex);
  r.Skip(faces * vertexIndex);
  const size_t textures = r.Count(4);
  for (size_t t = 0; t < textures && r.ok; ++t) r.Text();
  if (!r.ok) {
    *error = "the saver's file could not be read back";
    return false;
  }

  std::string out = in.substr(0, headerEnd);
  out += Encode(finish.modelName, encoding);
  out += Encode(finish.modelName, encoding);
  {
    Reader comments{in, headerEnd};
    comments.Text();
    comments.Text();
    out += in.substr(comments.at, textsEnd - comments.at);
  }
  out += in.substr(textsEnd, r.at - textsEnd);

  const size_t materialCount = r.Count(1);
  PutInt32(&out, static_cast<int32_t>(materialCount));
  std::set<std::string> used;
  for (size_t m = 0; m < materialCount && r.ok; ++m) {
    const std::string name = Decode(r.Text(), encoding);
    r.Text();  // the saver's English name
    const size_t fieldsAt = r.at;
    r.Skip(16 + 12 + 4 + 12);  // diffuse, specular, power, ambient
    const size_t flagsAt = r.at;
    r.Skip(1 + 16 + 4 + textureIndex * 2 + 1);  // flags, edge, texture, sphere, sphere mode
    const uint8_t sharedToon = r.Byte();
    r.Skip(sharedToon ? 1 : textureIndex);
    r.Text();   // memo
    r.Skip(4);  // face count
    if (!r.ok) break;
    std::string unique = name;
    for (int k = 2; used.count(unique); ++k) unique = name + "." + std::to_string(k);
    used.insert(unique);
    out += Encode(unique, encoding);
    out += Encode(unique, encoding);
    std::string fields = in.substr(fieldsAt, r.at - fieldsAt);
    if (auto look = finish.looks.find(name); look != finish.looks.end()) {
      std::string ambient;
      PutFloat(&ambient, static_cast<float>(look->second.ambient.x));
      PutFloat(&ambient, static_cast<float>(look->second.ambient.y));
      PutFloat(&ambient, static_cast<float>(look->second.ambient.z));
      fields.replace(32, 12, ambient);
      uint8_t flags = static_cast<uint8_t>(fields[flagsAt - fieldsAt]);
      flags = look->second.doubleSided ? (flags | 0x01) : (flags & 0xfe);
      fields[flagsAt - fieldsAt] = static_cast<char>(flags);
    }
    out += fields;
  }
  if (!r.ok) {
    *error = "the saver's file could not be read back";
    return false;
  }
  out += in.substr(r.at);
  *pmx = std::move(out);
  return true;
}

}  // namespace pmxapp
