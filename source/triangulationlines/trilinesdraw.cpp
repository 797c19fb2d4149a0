#include "triangulationlines/trilinesdraw.h"

#include <limits>
#include <memory>
#include <set>
#include <utility>

#include "edgeunderscore/edgeunderscoretag.h"
#include "pmxedge/pmxedgetag.h"

namespace {

// Editing modes in which the triangulation lines are shown.
bool ShowsLines(Int32 mode) { return mode == Mpoints || mode == Medges || mode == Mpolygons; }

// Depth offsets: the shells sit just behind the surface they outline; the lines lie on top
// of the host's own wireframe, and the underscored edges on top of the lines.
constexpr Int32 kShellZOffset = -1;
constexpr Int32 kLineZOffset = 2;
constexpr Int32 kUnderscoreZOffset = 4;

/// Display-tag values (shading mode v, wire mode s) handed down a hierarchy.
struct DisplayValues {
  bool set = false;
  Int32 shading = 0;
  Int32 wire = 0;
};

/// Whether an object whose display tag asks for shading `v` and wire mode `s` shows a shell.
bool DisplayShowsShell(Int32 v, Int32 s) {
  return (s == 0 || s == 1) && ((v >= 0 && v <= 5) || v == 7);
}

bool LayerShownInEditor(const BaseObject* op, BaseDocument* doc) {
  const LayerData* layer = op->GetLayerData(doc);
  return !layer || layer->view;
}

bool HasXRay(BaseObject* op) {
  GeData d;
  op->GetParameter(DescID(ID_BASEOBJECT_XRAY), d);
  return d.GetBool();
}

/// What stays the same during one edge walk.
struct EdgeWalk {
  BaseDraw* bd;
  Float width;
  Int32 mask;
  Int32 displayMode;
};

void DrawShell(const EdgeWalk& w, BaseObject* op, BaseTag* edgeTag) {
  auto* edge = edgeTag ? edgeTag->GetNodeData<PmxEdgeTag>() : nullptr;
  if (!edge || !edge->GetBool(PMX_EDGE_DRAW)) return;
  const Float size = edge->GetFloat(PMX_EDGE_SIZE);
  const Vector color = edge->GetVector(PMX_EDGE_COLOR);
  PolygonObject* shell = edge->GetShellObject();
  if (!shell || !PmxEdgeTag::BuildEdgeShell(shell, op, static_cast<Float32>(size * w.width)))
    return;

  BaseObject* camera = w.bd->GetSceneCamera(op->GetDocument());
  if (!camera) camera = w.bd->GetEditorCamera();
  const Vector eye = camera ? camera->GetMg().off : Vector();

  const Vector checked = w.bd->CheckColor(color);
  const Vector colors[3] = {checked, checked, checked};
  const Vector normals[3] = {};
  const Vector* points = shell->GetPointR();
  const CPolygon* polys = shell->GetPolygonR();
  const Int32 pc = shell->GetPolygonCount();
  auto drawFacing = [&](Int32 a, Int32 b, Int32 c) {
    const Vector tri[3] = {points[a], points[b], points[c]};
    // The shell is turned inside out: the triangles facing the camera are those behind the
    // surface, which shows as an outline around it.
    if (Dot(tri[0] - eye, Cross(tri[1] - tri[0], tri[2] - tri[0])) < 0)
      w.bd->DrawPoly(tri, colors, normals, 3, 0);
  };
  for (Int32 i = 0; i < pc; ++i) {
    const CPolygon& p = polys[i];
    drawFacing(p.a, p.b, p.c);
    if (p.c != p.d) drawFacing(p.a, p.c, p.d);
  }
}

void WalkEdges(const EdgeWalk& w, BaseObject* op, Int32 enabledIn, bool xray,
               const DisplayValues& inherited, BaseTag* inheritedEdgeTag);

void WalkChain(const EdgeWalk& w, BaseObject* op, Int32 enabled, bool xray, const DisplayValues& t,
               BaseTag* edgeTag) {
  for (; op; op = op->GetNext()) WalkEdges(w, op, enabled, xray, t, edgeTag);
}

void WalkEdges(const EdgeWalk& w, BaseObject* op, Int32 enabledIn, bool xray,
               const DisplayValues& inherited, BaseTag* inheritedEdgeTag) {
  Int32 enabled = enabledIn;
  if (op->GetEditorMode() == MODE_ON) enabled = 1;
  if (op->GetEditorMode() == MODE_OFF) enabled = 0;

  bool displayShows = true;
  DisplayValues forCache = inherited;
  if (inherited.set) {
    displayShows = DisplayShowsShell(inherited.shading, inherited.wire);
  } else if (BaseTag* display = op->GetTag(Tdisplay);
             display && display->GetDataInstance()->GetBool(DISPLAYTAG_AFFECT_DISPLAYMODE)) {
    forCache.set = true;
    forCache.shading = display->GetDataInstance()->GetInt32(DISPLAYTAG_SDISPLAYMODE);
    forCache.wire = display->GetDataInstance()->GetInt32(DISPLAYTAG_WDISPLAYMODE);
    displayShows = DisplayShowsShell(forCache.shading, forCache.wire);
  }

  if (!xray) xray = HasXRay(op);

  BaseTag* ownEdgeTag = op->GetTag(ID_PMX_EDGE_TAG);
  BaseTag* edgeTag = ownEdgeTag ? ownEdgeTag : inheritedEdgeTag;
  if (BaseObject* deformed = op->GetDeformCache()) {
    WalkChain(w, deformed, enabled, xray, inherited, edgeTag);
  } else if (BaseObject* cache = op->GetCache()) {
    WalkChain(w, cache, enabled, xray, forCache, edgeTag);
  } else if (!op->GetBit(BIT_CONTROLOBJECT) && enabled && !xray &&
             LayerShownInEditor(op, op->GetDocument()) && !op->GetBit(BIT_IGNOREDRAW) &&
             displayShows && (w.mask & TriLinesShadingCategory(w.displayMode)) != 0) {
    DrawShell(w, op, edgeTag);
  }

  WalkChain(w, op->GetDown(), enabled, xray, inherited, edgeTag);
}

/// Whether the display tag of `op`, if any, lets its triangulation lines show.
bool DisplayShowsLines(const BaseObject* op) {
  const BaseTag* display = op->GetTag(Tdisplay);
  if (!display) return true;
  const Int32 v = display->GetDataInstance()->GetInt32(DISPLAYTAG_SDISPLAYMODE);
  const Int32 s = display->GetDataInstance()->GetInt32(DISPLAYTAG_WDISPLAYMODE);
  if (s < 0 || s == 2 || s > 3) return false;
  if ((s == 0 || s == 1) && (v < 0 || v > 7)) return false;
  return true;
}

/// The selected objects in selection order, each followed by its descendants that are not
/// selected themselves: a selected group shows the lines of the meshes inside it.
void CollectDrawnObjects(BaseDocument* doc, AtomArray* out) {
  AtomArray active;
  doc->GetActiveObjects(active,
                        static_cast<GETACTIVEOBJECTFLAGS>(GETACTIVEOBJECTFLAGS_CHILDREN |
                                                          GETACTIVEOBJECTFLAGS_SELECTIONORDER));
  std::set<const GeListNode*> taken;
  auto add = [&](auto& self, BaseObject* op, bool withSiblings) -> void {
    for (; op; op = withSiblings ? op->GetNext() : nullptr) {
      if (taken.insert(op).second) out->Append(op);
      self(self, op->GetDown(), true);
    }
  };
  for (Int32 i = 0; i < active.GetCount(); ++i)
    add(add, static_cast<BaseObject*>(active.GetIndex(i)), false);
}

struct NgonFlagsDeleter {
  void operator()(UChar* p) const { DeleteMem(p); }
};

/// What one object's triangulation lines are drawn with.
struct LinePens {
  Vector color;
  Int32 transparency;
  Int32 viewTransparency;
};

void DrawObjectLines(BaseDraw* bd, PolygonObject* op, const LinePens& pens) {
  if (!DisplayShowsLines(op)) return;
  const Int32 pc = op->GetPolygonCount();
  const CPolygon* polys = op->GetPolygonR();
  const Vector* points = op->GetPointR();
  const Int32 pointCount = op->GetPointCount();
  BaseSelect* hidden = op->GetPolygonH();
  const std::unique_ptr<UChar, NgonFlagsDeleter> ngonFlags(op->GetNgonEdgesCompact());
  const Matrix mg = op->GetMg();
  if (pc <= 0 || !polys || !points) return;

  // A polygon naming a point the object does not have is left out rather than read past
  // the point array.
  auto usable = [&](const CPolygon& p) {
    for (Int32 k = 0; k < 4; ++k) {
      if (p[k] < 0 || p[k] >= pointCount) return false;
    }
    return true;
  };
  auto line = [&](Int32 from, Int32 to) { bd->DrawLine(mg * points[from], mg * points[to], 0); };

  BaseTag* underscoreTag = op->GetTag(ID_EDGE_UNDERSCORE_TAG);
  auto* underscore = underscoreTag ? underscoreTag->GetNodeData<EdgeUnderscoreTag>() : nullptr;
  if (underscore && underscore->GetBool(EDGE_UNDERSCORE_DRAW)) {
    if (const BaseSelect* edges = underscore->GetUnderscoreSelection()) {
      bd->SetPen(underscore->GetVector(EDGE_UNDERSCORE_COLOR));
      bd->SetTransparency(pens.viewTransparency);
      bd->SetMatrix_Matrix(nullptr, Matrix(), kUnderscoreZOffset);
      const Int32 edgeCount =
          pc > std::numeric_limits<Int32>::max() / 4 ? std::numeric_limits<Int32>::max() : 4 * pc;
      Int32 first = 0, last = 0;
      for (Int32 seg = 0; edges->GetRange(seg, edgeCount, &first, &last); ++seg) {
        for (Int32 e = first; e <= last; ++e) {
          const CPolygon& p = polys[e / 4];
          const Int32 side = e % 4;
          if (usable(p)) line(p[side], p[(side + 1) % 4]);
        }
      }
    }
  }

  bd->SetPen(pens.color);
  bd->SetTransparency(pens.transparency);
  bd->SetMatrix_Matrix(nullptr, Matrix(), kLineZOffset);
  if (!LayerShownInEditor(op, op->GetDocument())) return;
  std::set<std::pair<Int32, Int32>> drawnNgonEdges;
  for (Int32 j = 0; j < pc; ++j) {
    const CPolygon& p = polys[j];
    if (hidden->IsSelected(j) || !usable(p)) continue;
    const Int32 n = p.c == p.d ? 3 : 4;
    // The export splits a quadrangle along a-c.
    if (n == 4) line(p.a, p.c);
    if (!ngonFlags) continue;
    for (Int32 k = 0; k < n; ++k) {
      if (!(ngonFlags.get()[j] & (1 << k))) continue;
      const Int32 from = p[k], to = p[(k + 1) % n];
      // Two polygons of an N-gon share each inner edge; it is drawn once.
      if (drawnNgonEdges.emplace(std::min(from, to), std::max(from, to)).second) line(from, to);
    }
  }
}

}  // namespace

Int32 TriLinesShadingCategory(Int32 displayMode) {
  switch (displayMode) {
    case 0:
    case 7:
    case 8:
      return 1;
    case 1:
    case 9:
    case 10:
    case 100:
      return 2;
    case 11:
    case 12:
    case 1100:
      return 4;
    case 14:
    case 15:
    case 1400:
      return 8;
    default:
      return 0;
  }
}

Bool TriLinesDrawsPmxEdges(Int32 displayMode) { return TriLinesShadingCategory(displayMode) != 0; }

Bool TriLinesDrawsLines(Int32 displayMode) {
  return TriLinesDrawsPmxEdges(displayMode) || displayMode == DISPLAYMODE_WIRE ||
         displayMode == DISPLAYMODE_ISOPARM || displayMode == DISPLAYMODE_SKELETON;
}

BaseSceneHook* FindTriLinesHook(BaseDocument* doc) {
  return doc ? doc->FindSceneHook(ID_TRILINESDRAW) : nullptr;
}

Bool TriLinesDraw::Init(GeListNode* node) {
  auto* hook = static_cast<BaseList2D*>(node);
  BaseContainer* bc = hook ? hook->GetDataInstance() : nullptr;
  if (!bc) return false;
  bc->SetBool(TRI_LINES_DRAW, false);
  bc->SetVector(TRI_LINES_COLOR, Vector(0.4, 0.6, 0.8));
  bc->SetInt32(TRI_LINES_TRANSPARENCY, 180);
  bc->SetBool(TRI_LINES_TRANSPARENCY_POSITIVE, false);
  bc->SetBool(TRI_LINES_PMX_EDGE_DRAW, false);
  bc->SetFloat(TRI_LINES_PMX_EDGE_WIDTH, 1.0);
  bc->SetVector(TRI_LINES_PMX_EDGE_COLOR, Vector(0, 0, 0));
  bc->SetBool(TRI_LINES_PMX_EDGE_GOURAUD, true);
  bc->SetBool(TRI_LINES_PMX_EDGE_QUICK, true);
  bc->SetBool(TRI_LINES_PMX_EDGE_CONSTANT, true);
  bc->SetBool(TRI_LINES_PMX_EDGE_HIDDENLINE, true);
  return true;
}

Bool TriLinesDraw::Message(GeListNode* node, Int32 type, void* data) {
  return SceneHookData::Message(node, type, data);
}

Bool TriLinesDraw::Draw(BaseSceneHook* node, BaseDocument* doc, BaseDraw* bd, BaseDrawHelp* bh,
                        BaseThread*, Int32 flags) {
  if (!node || !doc || !bd || !bh) return false;
  if (flags != SCENEHOOKDRAW_DRAW_PASS) return true;

  const BaseContainer* bc = node->GetDataInstance();
  const Bool drawLines = bc->GetBool(TRI_LINES_DRAW);
  const Bool drawEdges = bc->GetBool(TRI_LINES_PMX_EDGE_DRAW);
  const Float width = bc->GetFloat(TRI_LINES_PMX_EDGE_WIDTH);
  const Int32 mask = (bc->GetBool(TRI_LINES_PMX_EDGE_GOURAUD) ? 1 : 0) |
                     (bc->GetBool(TRI_LINES_PMX_EDGE_QUICK) ? 2 : 0) |
                     (bc->GetBool(TRI_LINES_PMX_EDGE_CONSTANT) ? 4 : 0) |
                     (bc->GetBool(TRI_LINES_PMX_EDGE_HIDDENLINE) ? 8 : 0);
  const BaseContainer* display = bh->GetDisplay();
  const Int32 displayMode = display ? display->GetInt32(DISPLAYTAG_SDISPLAYMODE) : 0;
  const Int32 viewTransparency = bd->GetTransparency();

  if (drawEdges && TriLinesDrawsPmxEdges(displayMode)) {
    // Shell points are in world coordinates.
    bd->SetMatrix_Matrix(nullptr, Matrix(), kShellZOffset);
    bd->SetLightList(BDRAW_SETLIGHTLIST_QUICKSHADING);
    const EdgeWalk walk{bd, width, mask, displayMode};
    WalkChain(walk, doc->GetFirstObject(), 1, false, DisplayValues(), nullptr);
    bd->SetTransparency(viewTransparency);
    bd->SetMatrix_Matrix(nullptr, Matrix(), 0);
  }

  if (ShowsLines(doc->GetMode()) && drawLines) {
    AtomArray* active = AtomArray::Alloc();
    if (active) CollectDrawnObjects(doc, active);
    const Int32 transparency = bc->GetInt32(TRI_LINES_TRANSPARENCY);
    const LinePens pens{bc->GetVector(TRI_LINES_COLOR),
                        bc->GetBool(TRI_LINES_TRANSPARENCY_POSITIVE) ? transparency : -transparency,
                        viewTransparency};
    bd->SetMatrix_Matrix(nullptr, Matrix(), kLineZOffset);
    if (active && TriLinesDrawsLines(displayMode)) {
      for (Int32 i = 0; i < active->GetCount(); ++i) {
        auto* op = static_cast<BaseObject*>(active->GetIndex(i));
        if (!op || op->GetType() != Opolygon) continue;
        if (auto* poly = dynamic_cast<PolygonObject*>(op)) DrawObjectLines(bd, poly, pens);
      }
    }
    bd->SetTransparency(viewTransparency);
    bd->SetMatrix_Matrix(nullptr, Matrix(), 0);
    AtomArray::Free(active);
  }
  return true;
}

Bool RegisterTriLinesDraw() {
  const String name = GeLoadString(IDS_TRI_LINES_HOOK);
  // Without a name the hook is left out; the rest of the module works without it.
  if (!name.Content()) return true;
  return RegisterSceneHookPlugin(ID_TRILINESDRAW, name, 0, TriLinesDraw::Alloc, 5000, 0);
}
