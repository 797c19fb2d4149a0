#include "viewport_app.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app_host.h"
#include "file_safety.h"
#include "scene_file.h"

namespace pmxapp {

std::unique_ptr<BaseDocument> LoadActiveScene(const CommandLine& cli, const std::string& path) {
  std::string error;
  if (!StartHost(&error)) {
    cli.Error(error);
    return nullptr;
  }
  std::unique_ptr<BaseDocument> doc = LoadSceneFile(path, &error);
  if (!doc) {
    cli.Error(error);
    return nullptr;
  }
  SetActiveDocument(doc.get());
  doc->ExecutePasses(nullptr, true, true, true, BUILDFLAGS_0);
  return doc;
}

bool SplitSetting(const std::string& text, Int32* id, std::string* value) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  const std::string key = text.substr(0, eq);
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(key.c_str(), &end, 10);
  if (!end || *end != '\0' || errno || n < 0 || n > 0x7fffffff) return false;
  *id = static_cast<Int32>(n);
  *value = text.substr(eq + 1);
  return true;
}

namespace {

std::optional<double> Number(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (!end || *end != '\0' || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::string Format(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  // The shortest text that reads back as the same number; numbers a person reads without an
  // exponent (50, not 5e+01) keep their digits.
  const bool plain = v == 0.0 || (std::fabs(v) >= 1e-4 && std::fabs(v) < 1e15);
  for (int precision = 1; precision <= 17; ++precision) {
    char shorter[32];
    std::snprintf(shorter, sizeof shorter, "%.*g", precision, v);
    if (plain && std::strchr(shorter, 'e')) continue;
    if (std::strtod(shorter, nullptr) == v) return shorter;
  }
  return buf;
}

}  // namespace

std::optional<GeData> ValueOfType(const std::string& text, Int32 type) {
  switch (type) {
    case DA_LONG: {
      if (text == "on" || text == "true") return GeData(true);
      if (text == "off" || text == "false") return GeData(false);
      const auto v = Number(text);
      if (!v || *v != static_cast<double>(static_cast<Int32>(*v))) return std::nullopt;
      return GeData(static_cast<Int32>(*v));
    }
    case DA_REAL: {
      const auto v = Number(text);
      if (!v) return std::nullopt;
      return GeData(*v);
    }
    case DA_VECTOR: {
      double c[3];
      std::stringstream parts(text);
      std::string part;
      for (int i = 0; i < 3; ++i) {
        if (!std::getline(parts, part, ',')) return std::nullopt;
        const auto v = Number(part);
        if (!v) return std::nullopt;
        c[i] = *v;
      }
      if (std::getline(parts, part, ',')) return std::nullopt;
      return GeData(Vector(c[0], c[1], c[2]));
    }
    default:
      return std::nullopt;
  }
}

std::string ShowValue(const GeData& value, bool flag) {
  switch (value.GetType()) {
    case DA_LONG:
      return flag ? (value.GetBool() ? "on" : "off") : std::to_string(value.GetInt32());
    case DA_REAL:
      return Format(value.GetFloat());
    case DA_VECTOR: {
      const Vector v = value.GetVector();
      return Format(v.x) + ", " + Format(v.y) + ", " + Format(v.z);
    }
    default:
      return "-";
  }
}

bool WriteTextFile(const std::string& path, const std::string& text, std::string* error) {
  // Through the host's file, as every output the user names: never through a planted link,
  // a device written straight into.
  return WriteOutputFile(path, text, error);
}

}  // namespace pmxapp
