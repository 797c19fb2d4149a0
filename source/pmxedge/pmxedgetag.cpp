#include "pmxedge/pmxedgetag.h"

#include <limits>
#include <memory>

PmxEdgeTag::~PmxEdgeTag() {
  BaseObject* shell = shell_;
  shell_ = nullptr;
  BaseObject::Free(shell);
}

Bool PmxEdgeTag::Init(GeListNode* node) {
  auto* tag = static_cast<BaseList2D*>(node);
  BaseContainer* bc = tag ? tag->GetDataInstance() : nullptr;
  if (!bc) return false;
  bc->SetBool(PMX_EDGE_DRAW, true);
  bc->SetFloat(PMX_EDGE_SIZE, 1.0);
  bc->SetVector(PMX_EDGE_COLOR, Vector(0, 0, 0));
  bc->SetBool(PMX_EDGE_DOUBLE_SIDED, false);
  bc->SetBool(PMX_EDGE_GROUND_SHADOW, true);
  bc->SetBool(PMX_EDGE_SELF_SHADOW_MAP, true);
  bc->SetBool(PMX_EDGE_SELF_SHADOW, true);
  if (!shell_) shell_ = PolygonObject::Alloc(0, 0);
  return shell_ != nullptr;
}

Bool PmxEdgeTag::Message(GeListNode* node, Int32 type, void* data) {
  if (type == MSG_DESCRIPTION_COMMAND && data) {
    auto* dc = static_cast<DescriptionCommand*>(data);
    if (dc->id.id == PMX_EDGE_CREATE_VERTEX_MAP) CreateEdgeScaleMap(static_cast<BaseTag*>(node));
  }
  return TagData::Message(node, type, data);
}

void PmxEdgeTag::CreateEdgeScaleMap(BaseTag* tag) {
  BaseObject* op = tag ? tag->GetObject() : nullptr;
  if (!op || op->GetType() != Opolygon) return;
  auto* poly = static_cast<PolygonObject*>(op);
  const Int32 count = poly->GetPointCount();
  VariableTag* map = VariableTag::Alloc(Tvertexmap, count);
  if (!map) return;
  map->SetName(GeLoadString(IDS_PMX_EDGE_VERTEX_MAP));

  // One undo step takes back the new map and the tag's reference to it.
  BaseDocument* doc = op->GetDocument();
  if (doc) doc->StartUndo();
  op->InsertTag(map);
  if (doc) {
    doc->AddUndo(UNDOTYPE_NEW, map);
    doc->AddUndo(UNDOTYPE_CHANGE, op);
  }
  tag->GetDataInstance()->SetString(PMX_EDGE_VERTEX_MAP, map->GetName());
  if (Float32* values = map->Write<Float32>()) {
    for (Int32 i = 0; i < count; ++i) values[i] = 1.0f;
  }
  if (doc) doc->EndUndo();
}

Bool PmxEdgeTag::GetDescription(GeListNode* node, Description* description, DESCFLAGS_DESC& flags) {
  return TagData::GetDescription(node, description, flags);
}

EXECUTIONRESULT PmxEdgeTag::Execute(BaseTag*, BaseDocument*, BaseObject*, BaseThread*, Int32,
                                    EXECUTIONFLAGS) {
  return EXECUTIONRESULT_OK;
}

VariableTag* PmxEdgeTag::FindEdgeScaleMap(const BaseObject* op, const BaseTag* edgeTag) {
  if (!op || !edgeTag) return nullptr;
  const auto* edge = edgeTag->GetNodeData<PmxEdgeTag>();
  const String name = edge ? edge->GetString(PMX_EDGE_VERTEX_MAP)
                           : edgeTag->GetDataInstance()->GetString(PMX_EDGE_VERTEX_MAP);
  if (!name.Content()) return nullptr;
  for (BaseTag* t = op->GetFirstTag(); t; t = t->GetNext()) {
    if (t->GetType() == Tvertexmap && t->GetName() == name) return static_cast<VariableTag*>(t);
  }
  return nullptr;
}

Bool PmxEdgeTag::BuildEdgeShell(PolygonObject* shell, const BaseObject* source, Float32 size) {
  if (!shell || !source || source->GetType() != Opolygon) return false;
  const auto* src = static_cast<const PolygonObject*>(source);
  const Int32 pc = src->GetPolygonCount();
  const CPolygon* polys = src->GetPolygonR();
  if (pc <= 0 || !polys) return false;
  if (pc > std::numeric_limits<Int32>::max() / 4) return false;
  if (!shell->ResizeObject(4 * pc, pc)) return false;

  CPolygon* outPolys = shell->GetPolygonW();
  Vector* outPoints = shell->GetPointW();
  const Vector* points = src->GetPointR();
  const Int32 pointCount = src->GetPointCount();
  struct PhongDeleter {
    void operator()(Vector32* p) const { DeleteMem(p); }
  };
  const std::unique_ptr<Vector32, PhongDeleter> phongHolder(src->CreatePhongNormals());
  const Vector32* phong = phongHolder.get();
  const Matrix mg = src->GetMg();

  const Float32* weights = nullptr;
  Int32 weightCount = 0;
  if (const VariableTag* map = FindEdgeScaleMap(src, src->GetTag(ID_PMX_EDGE_TAG))) {
    weights = map->Read<Float32>();
    weightCount = map->GetDataCount();
  }

  Int32 k = 0;
  for (Int32 i = 0; i < pc; ++i) {
    const CPolygon& p = polys[i];
    const Int32 n = p.c == p.d ? 3 : 4;
    CPolygon& out = outPolys[i];
    for (Int32 j = 0; j < n; ++j) {
      out[j] = k;
      const Int32 index = p[j];
      // A corner that names no point of the source stays at the origin instead of reading
      // past the point array.
      const bool valid = index >= 0 && index < pointCount && points;
      const Vector world = mg * (valid ? points[index] : Vector());
      Vector dir;
      if (phong) {
        const Vector32& nrm = phong[static_cast<size_t>(i) * 4 + static_cast<size_t>(j)];
        dir = mg.TransformVector(Vector(nrm)).GetNormalized();
      }
      // Points the map does not cover keep the full edge size.
      const Float32 w = weights && valid && index < weightCount ? weights[index] : 1.0f;
      const Float32 distance = w * size;
      outPoints[k] = world + dir * static_cast<Float>(distance);
      ++k;
    }
    if (n == 4) {
      out = CPolygon(out.c, out.b, out.a, out.d);
    } else {
      out = CPolygon(out.c, out.b, out.a, out.a);
    }
  }
  shell->ResizeObject(k, pc);
  shell->Message(MSG_CHANGE);
  return true;
}

Bool RegisterPmxEdgeTag() {
  return RegisterTagPlugin(ID_PMX_EDGE_TAG, String("Pmx Edge"), TAG_VISIBLE, PmxEdgeTag::Alloc,
                           String("TPmxEdge"), AutoBitmap(String("edge.png")), 0);
}
