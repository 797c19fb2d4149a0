// Conversion of host data into the PMX model: meshes, weights, materials, bones and the
// hooks for morphs. Everything that reads the document lives behind these functions.
#pragma once

#include "pmx/pmxmodel.h"

/// Plug-in ids of the module's own types that the conversion reads.
constexpr Int32 ID_PMX_MORPH_OBJECT_TYPE = 1032050;
constexpr Int32 ID_PMX_BONE_OPTION_TAG_TYPE = 1034823;
constexpr Int32 ID_PMX_EDGE_TAG_TYPE = 1038158;

/// Weights below this do not count as influences, and sums below it are not normalised by.
constexpr Float kPmxWeightEpsilon = 1e-10;

// ---- Mesh (object conversion and emission) ----

/// Fills `record` from the host polygon object: triangles, then vertices made by the texture
/// passes and the default pass. False only for a null object.
Bool PmxConvertObject(PmxPolygonExchangeObject* record, PolygonObject* op);

/// Emits a converted object into the model: triangles into materials, vertices with weights
/// and edge scale, then its morph targets. Bones must already exist.
Bool PmxEmitObject(PmxPolygonExchange* model, PmxPolygonExchangeObject* record,
                   const PmxExportSettings& settings);

// ---- Weights ----

/// Fills the four strongest influences of point `p` into `vertex` from the weight tag and
/// warns when the point has more than four. Answers the number of influences.
Int32 PmxGatherInfluences(const String& objectName, Int64 p, PmxObjectVertex* vertex,
                          const CAWeightTag* weights);

/// Appends one model vertex per object vertex (deform type, bones, weights, edge scale).
/// `edgeScaleMap` is the object's edge-scale vertex map or null.
Bool PmxEmitVertices(PmxPolygonExchange* model, const PmxPolygonExchangeObject* record,
                     const PmxExportSettings& settings, const VariableTag* edgeScaleMap);

// ---- Materials ----

/// The material of a texture tag (null: the default material), created on first use with
/// the colours of the linked host material and the flags of the object's edge tag.
PmxMaterial* PmxMaterialForTextureTag(PmxPolygonExchange* model, BaseTag* textureTag,
                                      const String& objectName, BaseTag* edgeTag,
                                      const PmxExportSettings& settings);

/// Drops the default material (the first one) when no triangle uses it.
void PmxRemoveUnusedDefaultMaterial(PmxPolygonExchange* model);

// ---- Bones and the model build ----

/// Builds the whole model from the gathered objects and joint tree.
Bool PmxBuildModel(PmxPolygonExchange* model, const PmxExportSettings& settings);

// ---- Morphs ----

/// Offers `target` as a morph target of the base record. Answers whether it was accepted.
Bool PmxOfferMorphTarget(PmxPolygonExchangeObject* base, BaseObject* target);

/// Adds the offsets of one morph target of `base` (whose first model vertex is
/// `baseVertexIndex`) to the morph named after the target. Answers the morph or null.
PmxMorph* PmxAddMorphOffsets(PmxPolygonExchange* model, PmxPolygonExchangeObject* base,
                             BaseObject* target, Int64 baseVertexIndex, Float scale);

// ---- The hierarchy walk ----

/// Type id of a host object whose subtree the export never enters.
constexpr Int32 ID_PMX_SKIPPED_OBJECT_TYPE = 1025766;

/// Walks a chain of sibling objects and their subtrees: joints into the joint tree, polygon
/// objects (also inside generator and deform caches) into the object list, morph objects'
/// children into morph groups. `enabled` is the inherited render visibility, `parentJoint`
/// the joint node new joints go under (null: the root), `parentMatrix` the accumulated
/// rotation and scale.
void PmxWalkHierarchy(PmxPolygonExchange* model, BaseObject* first, Int32 enabled,
                      PmxPolygonExchangeJoint* parentJoint, const Matrix& parentMatrix);

/// The children of a morph object: the first visible polygon object with polygons becomes
/// the base mesh, the visible polygon objects after it are offered as its morph targets.
void PmxCollectMorphGroup(PmxPolygonExchange* model, BaseObject* firstChild, Int32 enabled);
