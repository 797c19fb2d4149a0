// Conversion of a document into the PMX model: the hierarchy walk, meshes, weights,
// materials, bones and morphs. Everything that reads the document lives behind these
// functions; the model they build holds plain values only.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "c4d_symbols.h"
#include "pmx/pmxmodel.h"
#include "pmx/pmxobject.h"

/// Type id of a host object whose subtree the export never enters.
constexpr Int32 ID_PMX_SKIPPED_OBJECT_TYPE = 1025766;

/// Builds the PMX model of `doc` (which the host has evaluated) with `settings`: texture
/// paths resolved, bones, morphs and frames in file order, header texts set.
PmxModel PmxBuildModel(BaseDocument* doc, const PmxExportSettings& settings);

/// One node of the joint tree the hierarchy walk builds.
struct PmxPolygonExchangeJoint {
  BaseObject* hostJoint = nullptr;  // null for the root
  Matrix matrix;                    // accumulated rotation and scale, zero offset
  std::vector<std::unique_ptr<PmxPolygonExchangeJoint>> children;
};

/// Orders morph names by the host's string comparison.
struct PmxMorphNameLess {
  bool operator()(const String& a, const String& b) const { return a.Compare(b) < 0; }
};

/// The working state of one conversion: what the walk gathers from the document, the model
/// being built, and the lookups from host elements to the model's lists.
struct PmxPolygonExchange {
  std::vector<std::unique_ptr<PmxPolygonExchangeObject>> objects;
  PmxPolygonExchangeJoint rootJoint;

  PmxModel model;
  std::vector<const BaseObject*> boneJoints;               // per bone; null: the centre bone
  std::map<const BaseTag*, Int64> materialsByTextureTag;   // null key: default material
  std::map<String, Int64, PmxMorphNameLess> morphsByName;  // positions in model.morphs
  std::vector<String> textureNames;                        // as stored, per model texture
  Int32 createdCenterBone = 0;

  /// Position of the stored texture name, appending it when new; -1 for an empty text.
  Int64 GetTextureIndex(const String& texture);
};

/// The conversion behind PmxBuildModel, leaving its working state in `exchange` for a look
/// at the walk and the object records.
void PmxConvertDocument(PmxPolygonExchange* exchange, BaseDocument* doc,
                        const PmxExportSettings& settings);

// ---- The hierarchy walk ----

/// Walks a chain of sibling objects and their subtrees: joints into the joint tree, polygon
/// objects (also inside generator and deform caches) into the object list, morph objects'
/// children into morph groups. `enabled` is the inherited render visibility, `parentJoint`
/// the joint node new joints go under (null: the root), `parentMatrix` the accumulated
/// rotation and scale.
void PmxWalkHierarchy(PmxPolygonExchange* exchange, BaseObject* first, Int32 enabled,
                      PmxPolygonExchangeJoint* parentJoint, const Matrix& parentMatrix);

/// The children of a morph object: the first visible polygon object with polygons becomes
/// the base mesh, the visible polygon objects after it are offered as its morph targets.
void PmxCollectMorphGroup(PmxPolygonExchange* exchange, BaseObject* firstChild, Int32 enabled);

// ---- Mesh (object conversion and emission) ----

/// Fills `record` from the host polygon object: triangles, then vertices made by the texture
/// passes and the default pass. False only for a null object.
Bool PmxConvertObject(PmxPolygonExchangeObject* record, PolygonObject* op);

/// Emits a converted object into the model: triangles into materials, vertices with weights
/// and edge scale, then its morph targets. Bones must already exist.
Bool PmxEmitObject(PmxPolygonExchange* exchange, const PmxPolygonExchangeObject& record,
                   const PmxExportSettings& settings);

// ---- Weights ----

/// Appends one model vertex per object vertex (deform type, bones, weights, edge scale).
/// `edgeScaleMap` is the object's edge-scale vertex map or null.
void PmxEmitVertices(PmxPolygonExchange* exchange, const PmxPolygonExchangeObject& record,
                     const PmxExportSettings& settings, const VariableTag* edgeScaleMap);

// ---- Materials and textures ----

/// Position of the material of a texture tag (null: the default material), created on first
/// use with the colours of the linked host material and the flags of the object's edge tag.
Int64 PmxMaterialForTextureTag(PmxPolygonExchange* exchange, BaseTag* textureTag,
                               const String& objectName, BaseTag* edgeTag,
                               const PmxExportSettings& settings);

/// Drops the default material (the first one) when no triangle uses it.
void PmxRemoveUnusedDefaultMaterial(PmxPolygonExchange* exchange);

/// The text written for a texture entry: the texture folder followed by the stored name, or
/// the name resolved against the document's folder (empty when it cannot be found).
String PmxTexturePath(const String& stored, const PmxExportSettings& settings);

// ---- Bones, frames and the model build ----

/// Builds the model's lists from the gathered objects and joint tree.
void PmxBuildFromGathered(PmxPolygonExchange* exchange, const PmxExportSettings& settings);

/// Makes the bones of the joint tree (depth-first pre-order), or the centre bone when there
/// is no joint.
void PmxMakeBones(PmxPolygonExchange* exchange, Float scale);

/// Fills the "Root" frame (unless the centre bone is in it) and the "ボーン" frame.
void PmxAddBoneDisplayFrames(PmxPolygonExchange* exchange);

// ---- Morphs ----

/// Offers `target` as a morph target of the base record. Answers whether it was accepted.
Bool PmxOfferMorphTarget(PmxPolygonExchangeObject* base, BaseObject* target);

/// Adds the offsets of one morph target of `base` (whose first model vertex is
/// `baseVertexIndex`) to the morph named after the target.
void PmxAddMorphOffsets(PmxPolygonExchange* exchange, const PmxPolygonExchangeObject& base,
                        const BaseObject* target, Int64 baseVertexIndex, Float scale);
