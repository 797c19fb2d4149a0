// Scene files: a JSON form of a host document that people write by hand and the app writes
// back after a tool has run. The format is described in docs/scene-format.md.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "c4d.h"

namespace pmxapp {

/// Loads a scene file into a new document whose path and name are those of the file.
/// On any problem answers null and sets `error` to one line naming the file, the place
/// (line and column, or the JSON path) and what was expected. Plug-in objects and tags are
/// created through the registry, so the module must be loaded first.
std::unique_ptr<BaseDocument> LoadSceneFile(const std::string& path, std::string* error);

/// Loads scene text; `displayName` names the text in messages and becomes the document name.
std::unique_ptr<BaseDocument> LoadSceneText(const std::string& text, const std::string& displayName,
                                            std::string* error);

/// Where scene text goes, piece by piece as it is laid out.
using SceneTextSink = std::function<void(const char* text, size_t size)>;

/// Writes the scene text of `doc` to `sink` in pieces (of about a megabyte), so that the text of
/// a large mesh is never whole in memory. The text is that of a file in `folder`: the document
/// path relative to that folder, and left out when it is that folder; with an empty `folder`
/// the path is written as it is. A document holding values JSON cannot express (NaN, infinity)
/// is refused before anything goes to `sink`: answers false and sets `error` to
/// "cannot write the scene: <JSON path>: ...". An exception from `sink` (or from laying the text
/// out) passes to the caller, with part of the text written.
bool WriteSceneText(BaseDocument* doc, const std::string& folder, const SceneTextSink& sink,
                    std::string* error);

/// Writes `doc` as a scene file. The target is replaced only when the whole text was written;
/// a document holding values JSON cannot express (NaN, infinity) is refused ("<path>: cannot
/// write the scene: ...") before the file is opened.
bool SaveSceneFile(BaseDocument* doc, const std::string& path, std::string* error);

/// The scene text of `doc` (the document path is written when it is set); empty when
/// WriteSceneText refuses the document.
std::string SceneToText(BaseDocument* doc);

/// The scene text of `doc` as a file in `folder` holds it (see WriteSceneText); empty when the
/// document is refused.
std::string SceneToText(BaseDocument* doc, const std::string& folder);

}  // namespace pmxapp
