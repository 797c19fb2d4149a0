// The writer of scene files (scene_file.h). Its stages live in their own files:
//   scene_save.cpp          the entry points, names and ids, numbers, the document's settings,
//                           layers, views and scene hooks
//   scene_save_objects.cpp  materials, objects, their geometry and selections
//   scene_save_tags.cpp     tags (UVWs, normals, vertex maps, weights, plug-in tags)
//   scene_save_params.cpp   parameter containers and their values
// scene_text.cpp lays the tree the writer builds out as text.
#pragma once

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "c4d.h"
#include "scene_text.h"

namespace pmxapp::scenesave {

using OJson = nlohmann::ordered_json;

/// Builds the JSON tree of a document: every field the reader takes, with numbers that read
/// back to exactly the values the document holds. The large arrays (points, polygons, UVs,
/// weights) stand in the tree as placeholders of Arrays(), formatted only as the text is laid
/// out.
class Writer {
 public:
  /// `targetDir`: the folder of the file being written (absolute and normal), which the
  /// document path is written relative to; without it the path is written as it is.
  Writer(BaseDocument* doc, std::optional<std::string> targetDir)
      : doc_(doc), targetDir_(std::move(targetDir)) {}

  /// The tree of the document. A value JSON cannot express is written as null and sets Error().
  OJson Build();

  /// Empty, or the first value that JSON cannot express, with its place.
  const std::string& Error() const { return error_; }
  /// The large arrays that the placeholders of the last Build() stand for.
  const NumberSources& Arrays() const { return arrays_; }

 private:
  // ----- survey: names, ids -----

  /// Counts names (a link to a unique name is written as the name) and keeps the ids that
  /// elements were loaded with.
  void Survey();

  /// The cache a scene file holds: only the fixed ones that stand for generators the host
  /// does not evaluate; plug-in generators build theirs again when the file is loaded.
  static BaseObject* WrittenCache(const BaseObject* op);

  void SurveyObject(BaseObject* op, bool inCache);
  void KeepRememberedId(BaseList2D* node);

  /// The id of `node`, made from its name when it has none yet.
  std::string IdFor(BaseList2D* node);

  /// How a link to `node` is written: a unique name, or {"id": ...}; null for a link that has
  /// nothing in this document to point at.
  OJson Ref(BaseList2D* node, bool materialForm);

  // ----- numbers -----

  /// Notes the first value that is not finite, at where_.
  void NonFinite();

  /// A coordinate: whole numbers without ".0", everything else exact.
  OJson Num(double v);
  OJson Vec(const Vector& v) { return OJson::array({Num(v.x), Num(v.y), Num(v.z)}); }
  // The large arrays are formatted only as the text is laid out (NumberSource); a value that
  // is not finite is looked for here, so that the file is refused before it is begun.
  void CheckFinite(bool finite) {
    if (!finite) NonFinite();
  }
  static bool Finite(const Vector32& v);
  /// [x, y, z] of a single-precision vector; [x, y] when `dropZeroW` and z is 0 (UVs).
  static void ArrayVec32(NumberArrays& out, const Vector32& v, bool dropZeroW);
  OJson Unit(const UnitScaleData& u);

  // ----- the document, layers, views and scene hooks -----

  /// One pass over the document (Build makes a second when an id was given late).
  OJson BuildOnce();
  OJson Document();
  /// The document path as the file holds it; none when there is none or it is the file's
  /// folder.
  std::optional<std::string> DocumentPath();
  OJson Layers();
  /// The views, or null while the document has the one view a new document has.
  OJson Views();
  /// Scene hook settings that differ from a new document's.
  OJson SceneHooks();

  // ----- materials and objects (scene_save_objects.cpp) -----

  OJson Material(BaseMaterial* m);
  OJson Channel(BaseMaterial* m, Int32 id);
  /// A chain of sibling objects; `where` is its JSON path.
  OJson Chain(BaseObject* first, const std::string& where);
  OJson Object(BaseObject* op, const std::string& where);
  static OJson Visibility(Int32 mode);
  static OJson Bits(Int32 bits);
  /// Points, polygons, selections, hidden polygons and n-gons of `poly` into `j`.
  void Geometry(PolygonObject* poly, OJson& j);
  /// A selection as its elements: single indices, and runs of three or more as [first, last].
  OJson Selection(const BaseSelect& sel);

  // ----- tags (scene_save_tags.cpp) -----

  OJson Tag(BaseTag* t, PolygonObject* poly);
  /// UVWs or normals: four corners per polygon, three for a triangle whose fourth repeats its
  /// third.
  OJson Corners(VariableTag* vt, PolygonObject* poly);
  /// "joints" and "weights" into `j`; joints that no longer exist are left out.
  void Weights(CAWeightTag* wt, PolygonObject* poly, OJson& j);

  // ----- parameters (scene_save_params.cpp) -----

  /// Parameter types of a registered plug-in, from its description (null for other types).
  const std::map<Int32, Int32>* TypesOf(Int32 type);

  /// The container of a new element of a plug-in type: what a reader gets without a word, so
  /// its values need not be written.
  const BaseContainer* Fresh(Int32 type, bool tag);

  /// "params": every entry of `bc` but the `named` ones (written under names of their own) and
  /// those equal to `defaults`.
  OJson Params(const BaseContainer& bc, const std::map<Int32, Int32>* types,
               const std::vector<Int32>& named, const BaseContainer* defaults);

  /// One parameter value; `dtype` is its type from the description (0 when unknown).
  OJson Value(const GeData& d, Int32 dtype);

  BaseDocument* doc_;
  std::optional<std::string> targetDir_;
  std::string where_;  // JSON path of what is being written, for the message
  std::string error_;
  std::map<std::string, int> objectNames_, materialNames_;
  std::set<const BaseObject*> mainTree_, inDocument_;
  std::map<const BaseList2D*, std::string> ids_;
  std::set<std::string> usedIds_;
  std::set<const BaseList2D*> written_;
  bool needsIdLate_ = false;
  std::map<Int32, std::map<Int32, Int32>> paramTypes_;
  std::map<Int32, std::unique_ptr<BaseList2D>> freshTags_, freshObjects_;
  NumberSources arrays_;
};

}  // namespace pmxapp::scenesave
