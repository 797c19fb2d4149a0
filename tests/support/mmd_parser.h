// Reading the PMX files the tests write with an independent reader: the npm package
// mmd-parser (the reader three.js's MMDLoader uses), run through node.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

/// The model mmd-parser reads from `path`, as JSON (metadata, vertices, faces, textures,
/// materials, bones, morphs, frames). Throws std::runtime_error with the reader's message
/// when the file cannot be parsed. With `summaryOnly`, only the metadata (counts, sizes).
nlohmann::json ParsePmxWithMmdParser(const std::string& path, bool summaryOnly = false);
