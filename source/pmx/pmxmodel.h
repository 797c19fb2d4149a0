// The in-memory PMX model that one export builds from a document and the file writer
// serialises. Lengths stay in double precision until the writer narrows them.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "c4d.h"
#include "pmx/pmxobject.h"

enum PmxDeformType : Int32 {
  PMX_DEFORM_BDEF1 = 0,
  PMX_DEFORM_BDEF2 = 1,
  PMX_DEFORM_BDEF4 = 2,
  PMX_DEFORM_SDEF = 3,
};

/// Settings of one export, read from the saver's parameters at the start of Save.
struct PmxExportSettings {
  Float scale = 1.0;  // document lengths to export lengths
  Int32 useTextureFolder = 0;
  String textureFolder;  // ends in a separator when used and not empty
  Int32 materialNameWithObject = 0;
  Int32 limitDeformToInfluences = 0;
  /// Folder of the exported document: texture names are resolved against it.
  Filename documentPath;
};

struct PmxVertex {
  Float position[3] = {0, 0, 0};  // scaled, world space
  Float32 normal[3] = {0, 0, 0};
  Float32 uv[2] = {0, 0};
  PmxDeformType deformType = PMX_DEFORM_BDEF1;
  Int64 boneIndex[4] = {0, 0, 0, 0};
  Float boneWeight[4] = {0, 0, 0, 0};
  Vector sdefC, sdefR0, sdefR1;
  Float edgeScale = 1.0;
};

struct PmxTriangle {
  Int64 vertexIndex[3] = {0, 0, 0};  // absolute positions in the model's vertices
};

struct PmxMaterial {
  String name, nameEnglish;
  Float diffuse[4] = {1, 1, 1, 1};
  Float specular[3] = {0, 0, 0};
  Float specularPower = 0;
  Float ambient[3] = {0.5, 0.5, 0.5};
  Int32 doubleSided = 0;
  Int32 groundShadow = 1;
  Int32 selfShadowMap = 1;
  Int32 selfShadow = 1;
  Int32 drawEdge = 1;
  Float edgeColor[4] = {0, 0, 0, 1.0};
  Float edgeSize = 1.0;
  Int64 textureIndex = -1;
  Int64 sphereTextureIndex = -1;
  Int32 sphereMode = 0;
  Int32 sharedToon = 1;
  Int8 toonIndex = 0;
  String memo;
  std::vector<PmxTriangle> triangles;
};

struct PmxBone {
  String name, nameEnglish;
  Float position[3] = {0, 0, 0};
  Int64 parentIndex = -1;
  Int32 layer = 0;
  Int32 tailIsBone = 0;
  Int32 rotatable = 1;
  Int32 movable = 0;
  Int32 visible = 1;
  Int32 operable = 1;
  Int32 ik = 0;
  Int32 inheritLocal = 0;
  Int32 inheritRotation = 0;
  Int32 inheritTranslation = 0;
  Int32 fixedAxis = 0;
  Int32 localAxis = 0;
  Int32 physicsAfterDeform = 0;
  Int32 externalParent = 0;
  Float tailOffset[3] = {0, 1.0, 0};
  Int64 tailIndex = 0;
  Int64 inheritParentIndex = -1;
  Float inheritWeight = 0;
  Float fixedAxisDirection[3] = {0, 1.0, 0};
  Float localAxisX[3] = {1.0, 0, 0};
  Float localAxisZ[3] = {0, 0, 1.0};
  Int32 externalParentKey = 0;
  BaseObject* hostJoint = nullptr;  // null for the default centre bone
};

struct PmxMorphOffset {
  Int32 vertexIndex = 0;  // absolute position in the model's vertices
  Float offset[3] = {0, 0, 0};
};

/// A vertex morph on the "other" panel.
struct PmxMorph {
  String name, nameEnglish;
  std::vector<PmxMorphOffset> offsets;
};

struct PmxDisplayFrameElement {
  Int32 kind = 0;  // 0 = bone
  PmxBone* bone = nullptr;
};

struct PmxDisplayFrame {
  String name, nameEnglish;
  Int32 special = 0;
  std::vector<PmxDisplayFrameElement> elements;
};

/// One node of the joint tree the hierarchy walk builds.
class PmxPolygonExchangeJoint {
 public:
  PmxPolygonExchangeJoint() = default;
  PmxPolygonExchangeJoint(BaseObject* joint, const Matrix& world)
      : hostJoint(joint), matrix(world) {}
  PmxPolygonExchangeJoint(const PmxPolygonExchangeJoint&) = delete;
  PmxPolygonExchangeJoint& operator=(const PmxPolygonExchangeJoint&) = delete;
  virtual ~PmxPolygonExchangeJoint() = default;

  BaseObject* hostJoint = nullptr;  // null for the root
  std::vector<std::unique_ptr<PmxPolygonExchangeJoint>> children;
  Matrix matrix;  // accumulated rotation and scale, zero offset
};

/// Counts and texts of the file header.
struct PmxModelHeader {
  Int32 vertexCount = 0;
  Int32 triangleCount = 0;
  Int32 textureCount = 0;
  Int32 materialCount = 0;
  Int32 boneCount = 0;
  Int32 morphCount = 0;
  Int32 displayFrameCount = 0;
  Int32 rigidBodyCount = 0;
  Int32 jointCount = 0;
  String modelName, modelNameEnglish, comment, commentEnglish;

  void ZeroCounts() {
    vertexCount = triangleCount = textureCount = materialCount = boneCount = morphCount =
        displayFrameCount = rigidBodyCount = jointCount = 0;
  }
};

/// Orders morph names by the host's string comparison.
struct PmxMorphNameLess {
  bool operator()(const String& a, const String& b) const { return a.Compare(b) < 0; }
};

/// The model of one export.
class PmxPolygonExchange {
 public:
  PmxPolygonExchange() = default;
  PmxPolygonExchange(const PmxPolygonExchange&) = delete;
  PmxPolygonExchange& operator=(const PmxPolygonExchange&) = delete;
  virtual ~PmxPolygonExchange() { Clear(); }

  std::vector<std::unique_ptr<PmxPolygonExchangeObject>> objects;
  PmxPolygonExchangeJoint rootJoint;
  std::vector<PmxVertex> vertices;
  std::vector<std::unique_ptr<PmxMaterial>> materials;
  std::map<const BaseTag*, PmxMaterial*> materialsByTextureTag;  // null key: default material
  std::vector<String> textureNames;
  std::vector<std::unique_ptr<PmxBone>> bones;
  std::vector<std::unique_ptr<PmxMorph>> morphs;
  std::map<String, PmxMorph*, PmxMorphNameLess> morphsByName;
  std::vector<std::unique_ptr<PmxDisplayFrame>> displayFrames;
  Int32 createdCenterBone = 0;

  /// Deletes everything: objects, joint tree and every output list.
  void Clear();
  /// Empties the output lists (vertices, materials, textures, bones, morphs, frames) but
  /// keeps the objects and the joint tree the walk gathered.
  void ClearOutput();

  /// Converts `op` and appends its record when it has at least one triangle. Answers false
  /// only when `op` is null or its conversion fails; `added` receives the new record or null.
  Bool AddObject(PolygonObject* op, PmxPolygonExchangeObject** added = nullptr);
  /// Appends a joint node under `parent` (the root when null) and answers it.
  PmxPolygonExchangeJoint* AddJoint(PmxPolygonExchangeJoint* parent, BaseObject* joint,
                                    const Matrix& world);

  /// Position of `bone` in bones, or -1.
  Int64 GetBoneIndex(const PmxBone* bone) const;
  /// Position of the text in textureNames, appending it when new; -1 for an empty text.
  Int64 GetTextureIndex(const String& texture);
  /// The display frame named `name` (created at the end when missing) with `bone` appended.
  PmxDisplayFrame* AddToDisplayFrame(const String& name, PmxBone* bone);
  /// Number of triangles over all materials.
  Int64 GetTriangleCount() const;
};
