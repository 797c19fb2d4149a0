// Vocabulary shared by the scene file reader and writer: the names of types, units, modes
// and channels, and the number formats that make a written file read back bit for bit.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "c4d.h"

namespace pmxapp::scene {

/// The scene format version written in "scene".
constexpr int kSceneVersion = 1;
/// Object trees and parameter containers nest at most this deep (the host's tree code
/// recurses, and no real scene comes near it).
constexpr int kMaxDepth = 200;

struct NamedValue {
  std::string_view name;
  Int32 value;
};

const std::vector<NamedValue>& ObjectTypeNames();
const std::vector<NamedValue>& TagTypeNames();
const std::vector<NamedValue>& DocumentModeNames();
const std::vector<NamedValue>& RotationOrderNames();
const std::vector<NamedValue>& VisibilityNames();
const std::vector<NamedValue>& ChannelNames();
const std::vector<NamedValue>& BitNames();
/// Display modes of views ("gouraud", "quick", ...).
const std::vector<NamedValue>& DisplayModeNames();

std::optional<Int32> FindValue(const std::vector<NamedValue>& table, std::string_view name);
/// The name of `value` in `table`, or empty.
std::string_view FindName(const std::vector<NamedValue>& table, Int32 value);
/// "a, b, c" of the table's names (for messages).
std::string JoinNames(const std::vector<NamedValue>& table);

/// Unit names as the file writes them ("km", "m", "cm", "mm", "um", "nm", "mi", "yd", "ft",
/// "in"); "µm" is read as well.
std::optional<DOCUMENT_UNIT> ParseUnitName(std::string_view name);
std::string_view UnitName(DOCUMENT_UNIT unit);
/// Parses a length such as "8cm", "1 m" or "0.5in" into a unit-scale value; the number must be
/// finite and positive.
std::optional<UnitScaleData> ParseUnitScale(std::string_view text);

/// A document path as the reader and the writer both hold it: lexically normal and without a
/// trailing separator ("a/b/", "a/b/." and "a/c/../b" are all "a/b"), so that a path written
/// relative to the file's folder reads back as the same path.
std::filesystem::path NormalDocumentPath(const std::filesystem::path& p);

/// The shortest decimal that reads back as exactly `v` (a double as the file's number).
double ShortestForFloat32(Float32 v);
/// Degrees that read back, through Rad, as exactly the radians `rad`; the shortest such
/// decimal, so 30 degrees is written as 30 and not as 29.999999999999996.
double DegreesFor(Float rad);

}  // namespace pmxapp::scene

namespace pmxapp::scene {

/// The "id" a scene file gave an element, kept so that writing the document back keeps it.
void RememberId(const BaseList2D* node, const std::string& id);
/// The remembered "id" of a live element, or empty.
std::string RememberedId(const BaseList2D* node);

}  // namespace pmxapp::scene
