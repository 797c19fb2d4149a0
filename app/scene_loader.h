// The reader of scene files (scene_file.h). Its stages live in their own files:
//   scene_load.cpp          the JSON text, messages with their JSON path, checked value readers
//   scene_load_objects.cpp  the document settings, materials, objects and their geometry
//   scene_load_tags.cpp     tags (UVWs, normals, selections, weights, plug-in tags)
//   scene_load_params.cpp   parameter containers, and the links resolved once all is loaded
//   scene_load_views.cpp    layers, views and scene hooks, and an object's display keys
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "c4d.h"
#include "scene_format.h"
#include "scene_json.h"

namespace pmxapp::sceneload {

using Json = JsonValue;

class SceneError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// How an unresolved reference is looked up once the whole scene is loaded.
enum class LinkKind { Object, Material, Any };

struct PendingLink {
  std::string where;  // JSON path, for the message
  Json ref;           // a name or {"id": ...} / {"material": ...}, already checked
  LinkKind kind;
  std::function<void(BaseList2D*)> apply;
};

/// Parameter types from a plug-in's description, so that values are stored as the host
/// stores them (a float parameter written as 1 still becomes a float).
using ParamTypes = std::map<Int32, Int32>;

class Loader {
 public:
  Loader(std::string displayName, std::string baseDir)
      : file_(std::move(displayName)), baseDir_(std::move(baseDir)) {}

  /// What the owner of a text does with it as the load goes on. Either may be empty.
  struct TextHooks {
    /// The parse is done: the text must stay readable (a file with a key given twice is read
    /// again), but its pages need not stay in memory.
    std::function<void()> parsed;
    /// Nothing reads the text any more: it may be freed.
    std::function<void()> done;
  };

  /// Loads `text`; `padded`: kParsePadding readable bytes follow it.
  std::unique_ptr<BaseDocument> Load(std::string_view text, bool padded,
                                     const TextHooks& hooks = {});

 private:
  // ----- messages and paths -----

  /// A piece of the JSON path: a key (which outlives the piece) or an array index. Paths are
  /// only written out for a message, so a piece costs nothing to make.
  struct PathIndex {
    size_t index;
  };
  struct Piece {
    std::string_view key;
    size_t index = 0;
    bool isIndex = false;
  };
  class At {
   public:
    At(Loader& l, std::string_view key) : l_(l) { l_.path_.push_back(Piece{key, 0, false}); }
    At(Loader& l, const char* key) : At(l, std::string_view(key)) {}
    At(Loader& l, PathIndex i) : l_(l) { l_.path_.push_back(Piece{{}, i.index, true}); }
    ~At() { l_.path_.pop_back(); }
    At(const At&) = delete;
    At& operator=(const At&) = delete;

   private:
    Loader& l_;
  };
  static PathIndex Index(size_t i) { return PathIndex{i}; }

  std::string Path() const;
  [[noreturn]] void Fail(const std::string& what) const;
  [[noreturn]] void FailAt(const std::string& where, const std::string& what) const;
  [[noreturn]] void Expected(const std::string& what, const Json& got) const;

  // ----- checked readers -----

  void CheckObject(const Json& v, const char* what) const;
  void CheckArray(const Json& v, const char* what) const;

  /// Fails on a key that `allowed` does not list: a misspelt key would otherwise be ignored
  /// without a word.
  void CheckKeys(const Json& obj, std::initializer_list<std::string_view> allowed) const;

  static std::optional<Json> Member(const Json& obj, std::string_view key) { return obj.find(key); }

  double Number(const Json& v) const;
  Float32 Number32(const Json& v) const;

  /// Degrees; bounded so that converting to radians and back cannot overflow.
  double Angle(const Json& v) const;

  Int64 Integer(const Json& v, Int64 lo, Int64 hi, const std::string& what) const;
  Int32 Int(const Json& v, Int64 lo, Int64 hi, const std::string& what) const;
  bool Boolean(const Json& v) const;
  std::string Text(const Json& v) const;
  Vector Vec(const Json& v);

  /// [x, y] or [x, y, z] in single precision (UVW coordinates, normals).
  Vector32 Vec32(const Json& v, bool allowTwo);

  Int32 Named(const Json& v, const std::vector<scene::NamedValue>& table, const char* what) const;
  UnitScaleData Unit(const Json& v);

  /// A reference to another element: a name or {"id": ...} (or {"material": name}).
  void CheckRef(const Json& v, LinkKind kind) const;

  void Defer(const Json& ref, LinkKind kind, std::function<void(BaseList2D*)> apply);

  // ----- the document -----

  void LoadRoot(const Json& root);
  void LoadDocumentSettings(const Json& d);

  // ----- materials -----

  void LoadMaterial(const Json& m);
  void LoadChannel(const Json& c, BaseMaterial* mat, Int32 channel);

  // ----- objects -----

  BaseObject* LoadObject(const Json& o, int depth, bool inCache);

  /// A chain of sibling objects standing for a generator's or deformer's result.
  BaseObject* LoadChain(const Json& v, int depth);

  Int32 Visibility(const Json& v) const;
  Int32 Bits(const Json& v);
  void LoadGeometry(const Json& o, PolygonObject* poly);
  static Int32 EdgeCount(Int32 polygons) {
    return polygons > INT32_MAX / 4 ? INT32_MAX : polygons * 4;
  }

  /// Indices and inclusive ranges [first, last] below `count`.
  void Selection(const Json& v, BaseSelect* sel, Int32 count, const char* element);

  // ----- views, layers and scene hooks (scene_load_views.cpp) -----

  void LoadLayers(const Json& v);
  void LoadViews(const Json& v);
  void LoadSceneHooks(const Json& v);
  /// An object's "xray" and "layer", and a polygon object's "hiddenPolygons" and "ngons".
  void LoadDisplayKeys(const Json& o, BaseObject* op, PolygonObject* poly);

  // ----- tags -----

  void LoadTag(const Json& t, BaseObject* op);

  /// UVW or normal tags: four corners per polygon ([a, b, c] for triangles).
  VariableTag* LoadCorners(const Json& t, const char* key, PolygonObject* poly, bool uvw);

  void LoadWeights(const Json& t, CAWeightTag* wt, Int32 pointCount);

  // ----- parameters -----

  /// Parameter types of a registered plug-in, from its description (null for other types).
  const ParamTypes* TypesOf(Int32 type);

  static bool ParseParamId(const std::string& key, Int32* id);

  /// "params": {"1000": value, ...}. `named` are ids that named keys of the element have set
  /// already; `idPath` locates `bc` inside an outer container (for links set later).
  void LoadParams(const Json& p, BaseContainer* bc, const ParamTypes* types,
                  const std::vector<Int32>& named, std::vector<Int32> idPath,
                  BaseContainer* root = nullptr);

  GeData ParamValue(const Json& v, Int32 dtype, const std::vector<Int32>& idPath,
                    BaseContainer* root);

  GeData SpecialValue(const Json& v, const std::vector<Int32>& idPath, BaseContainer* root);

  /// Sets a link inside (possibly nested) containers once its target is known.
  static void SetNested(BaseContainer* bc, const std::vector<Int32>& idPath, size_t i,
                        BaseList2D* node);

  // ----- links -----

  void RegisterId(const std::string& id, BaseList2D* node);
  void ResolveLinks();
  static std::string name_of(const Json& ref) { return ref.str(); }

  template <typename T>
  T* Unique(const std::multimap<std::string, T*>& map, const std::string& name, const char* what,
            const std::string& where) const;

  std::string file_;
  std::string baseDir_;
  std::vector<Piece> path_;
  std::unique_ptr<BaseDocument> doc_;
  std::vector<BaseObject*> mainTree_;
  std::map<std::string, BaseList2D*> ids_;
  std::vector<PendingLink> links_;
  std::map<Int32, ParamTypes> paramTypes_;
  std::map<std::string, LayerObject*> layers_;
};

}  // namespace pmxapp::sceneload
