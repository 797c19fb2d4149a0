// The PMX model of one export as plain values: what the conversion builds from a document
// and the writer turns into bytes. No record points into the document or at another record;
// bones, textures and vertices are referred to by their position in the model's lists.
// Lengths stay in double precision until the writer narrows them.
#pragma once

#include <vector>

#include "c4d.h"

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

/// A vertex as the file holds it. A large mesh has millions, so it is kept small: indexes in
/// 32 bits (as the file's widest index) and the rarely used SDEF parameters beside the list.
struct PmxVertex {
  Float position[3] = {0, 0, 0};  // scaled, world space
  Float32 normal[3] = {0, 0, 0};
  Float32 uv[2] = {0, 0};
  PmxDeformType deformType = PMX_DEFORM_BDEF1;
  Int32 boneIndex[4] = {0, 0, 0, 0};
  Float boneWeight[4] = {0, 0, 0, 0};
  Float edgeScale = 1.0;
};

/// The spherical deform's centre and its two control points, for an SDEF vertex.
struct PmxSdefParams {
  Vector c, r0, r1;
};

struct PmxTriangle {
  Int32 vertexIndex[3] = {0, 0, 0};  // positions in the model's vertices
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
  Int64 textureIndex = -1;  // position in the model's textures, -1: none
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
};

struct PmxMorphOffset {
  Int32 vertexIndex = 0;  // position in the model's vertices
  Float offset[3] = {0, 0, 0};
};

/// A vertex morph on the "other" panel.
struct PmxMorph {
  String name, nameEnglish;
  std::vector<PmxMorphOffset> offsets;
};

struct PmxDisplayFrameElement {
  Int32 kind = 0;        // 0 = bone
  Int64 boneIndex = -1;  // position in the model's bones
};

struct PmxDisplayFrame {
  String name, nameEnglish;
  Int32 special = 0;
  std::vector<PmxDisplayFrameElement> elements;
};

/// Counts and texts of the file header. The counts are those of the model's lists.
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
};

/// The object a run of the model's vertices was made from, for messages about them.
struct PmxModelPart {
  String object;
  Int64 firstVertex = 0;
};

/// A whole PMX model, lists in file order.
struct PmxModel {
  String name, nameEnglish, comment, commentEnglish;
  std::vector<PmxModelPart> parts;  // in vertex order; not written
  std::vector<PmxVertex> vertices;
  /// SDEF parameters by vertex position; empty when no vertex is SDEF, and an SDEF vertex
  /// past its end has all three at zero.
  std::vector<PmxSdefParams> sdef;
  std::vector<String> textures;  // as written: resolved paths or folder-relative names
  std::vector<PmxMaterial> materials;
  std::vector<PmxBone> bones;
  std::vector<PmxMorph> morphs;
  std::vector<PmxDisplayFrame> displayFrames;

  /// Number of triangles over all materials.
  Int64 GetTriangleCount() const;
  /// The header of the file that holds this model.
  PmxModelHeader GetHeader() const;
  /// The display frame named `name` (created at the end when missing) with bone `bone`
  /// appended.
  PmxDisplayFrame& AddToDisplayFrame(const String& name, Int64 bone);
};
