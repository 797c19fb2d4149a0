// The live half of `pmxexport view` for scene and model files: one host document, kept while
// the page is open, that the page sees and changes only through the host and the plug-in's
// own code. The page asks for
//   GET  state         the document's objects, materials, the active view (camera, display
//                      mode, the scene hooks' recorded draw calls), the commands with their
//                      state, the open dialogs' gadgets, the morph objects' parameters, undo;
//   GET  geometry      every visible polygon object as the host evaluates it (generators'
//                      caches, morph objects' mixed shapes), triangulated, in world space;
//   GET  texture/N     the image of material texture N (inside the allowed folders, by content);
//   POST action        one change, as a person makes it in the host (a command, a dialog
//                      gadget, a parameter, a button, the camera, the display or editing mode,
//                      the selection, undo, redo); answers the new state;
//   POST export        the PMX saver with the page's settings; answers the file;
//   POST save          the document written as a scene file (--scene-out).
// Its stages live in their own files:
//   view_scene.cpp           loading the document, routing the page's requests, the textures
//                            materials name, the PMX export and the saved scene
//   view_scene_geometry.cpp  the visible polygon objects, triangulated, and the materials
//   view_scene_state.cpp     objects, morph parameters, the active view and its draw calls,
//                            commands, the open dialogs' gadgets, undo
//   view_scene_actions.cpp   the changes a person makes (POST action)
// view_scene_internal.h holds what they share.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "c4d.h"
#include "commands.h"
#include "import_options.h"
#include "model_import.h"
#include "view_server.h"

namespace pmxapp {

struct ScenePageOptions {
  /// The scene file or model file shown.
  std::string input;
  /// Folders besides the input's own from which textures may be served.
  std::vector<std::string> textureRoots;
  /// Where the export button also writes the PMX (empty: only the download).
  std::string output;
  /// Where the save button writes the scene (empty: no save button).
  std::string sceneOut;
  ExportSettings exportSettings;
  ImportOptions importOptions;
};

class ScenePage : public ViewApi {
 public:
  ScenePage();
  ~ScenePage() override;

  /// Starts the host and loads the input as the active document; false with `error`.
  bool Load(const ScenePageOptions& options, std::string* error);

  ViewReply Get(const std::string& path) override;
  ViewReply Post(const std::string& path, const std::string& body) override;

  /// The state and geometry as the page reads them (for tests).
  std::string StateJson();
  std::string GeometryJson();

 private:
  struct Texture {
    std::string path;  // a file, or empty for embedded bytes
    std::string bytes;
  };
  ViewReply Act(const std::string& body);
  ViewReply Export(const std::string& body);
  ViewReply Save();
  void Changed(bool geometry);
  Int32 TextureIndex(const std::string& name);

  std::mutex mutex_;
  ScenePageOptions options_;
  std::unique_ptr<BaseDocument> doc_;
  std::vector<std::string> roots_;
  std::vector<ModelTexture> embedded_;
  std::vector<Texture> textures_;
  std::string tempDir_;
  long version_ = 0, geometryVersion_ = 0;
  std::vector<std::string> messages_;
};

}  // namespace pmxapp
