// Editor views: BaseDraw (a view of a document with its display settings and cameras) and
// BaseDrawHelp (what the host hands a Draw call). The headless views keep every draw call a
// plug-in makes, with the pen, transparency, matrix and z-offset in force, so that a redraw
// can be read back call by call.
#pragma once

#include <vector>

#include "c4d_baseobject.h"

class BaseDocument;

// Display modes of a view (BASEDRAW_DATA_SDISPLAYACTIVE), the host's numbers.
enum : Int32 {
  DISPLAYMODE_GOURAUD = 0,
  DISPLAYMODE_QUICK = 1,
  DISPLAYMODE_WIRE = 2,
  DISPLAYMODE_ISOPARM = 3,
  DISPLAYMODE_SHADEDBOX = 4,
  DISPLAYMODE_BOX = 5,
  DISPLAYMODE_SKELETON = 6,
  DISPLAYMODE_GOURAUDWIRE = 7,
  DISPLAYMODE_GOURAUDISOPARM = 8,
  DISPLAYMODE_QUICKWIRE = 9,
  DISPLAYMODE_QUICKISOPARM = 10,
  DISPLAYMODE_FLATWIRE = 11,
  DISPLAYMODE_FLATISOPARM = 12,
  DISPLAYMODE_HIDDENWIRE = 14,
  DISPLAYMODE_HIDDENISOPARM = 15,
};

// Entries of the display settings container (BaseDrawHelp::GetDisplay) and of the display
// tag (Tdisplay), which carries the same entries for one object.
enum : Int32 {
  DISPLAYTAG_SDISPLAYMODE = 1000,
  DISPLAYTAG_AFFECT_DISPLAYMODE = 1007,
  DISPLAYTAG_WDISPLAYMODE = 1013,
};

// BaseDraw::SetLightList modes.
enum : Int32 {
  BDRAW_SETLIGHTLIST_NOLIGHTS = 0,
  BDRAW_SETLIGHTLIST_SCENELIGHTS = 1,
  BDRAW_SETLIGHTLIST_QUICKSHADING = -1,
};

// Draw passes a scene hook's Draw is called in.
enum : Int32 {
  SCENEHOOKDRAW_0 = 0,
  SCENEHOOKDRAW_DRAW_PASS = 1,
  SCENEHOOKDRAW_HIGHLIGHT_PASS_BEFORE = 2,
  SCENEHOOKDRAW_HIGHLIGHT_PASS = 3,
};

// BaseDraw::DrawLine flags.
enum : Int32 {
  NOCLIP_D = 1,
  NOCLIP_Z = 2,
};

constexpr Int32 Ocamera = 5103;
constexpr Int32 Dbasedraw = 110305;

/// One call a plug-in made on a view, with the state in force after it.
struct DrawCall {
  enum class Kind {
    SetMatrix,
    SetPen,
    SetTransparency,
    SetLightList,
    DrawLine,
    DrawPolygon,
    CheckColor,
  };
  Kind kind = Kind::SetPen;
  Vector pen;
  Int32 transparency = 0;
  Matrix matrix;
  Int32 zoffset = 0;
  Int32 lightList = 0;
  Int32 value = 0;             // SetTransparency, SetLightList, DrawLine flags
  std::vector<Vector> points;  // lines: 2 points; polygons: 3 or 4
  std::vector<Vector> colors;  // polygons: one per point; CheckColor: in, out
  std::vector<Vector> normals;
};

/// Name of a draw call kind as the records show it ("DrawLine", ...).
const char* DrawCallKindName(DrawCall::Kind kind);

class BaseDraw : public BaseList2D {
 public:
  BaseDraw();
  ~BaseDraw() override;
  Int32 GetType() const override { return Dbasedraw; }
  BaseList2D* AllocSame() const override { return new BaseDraw; }

  /// Sets the matrix later coordinates are given in, and the depth offset of what follows
  /// (positive values draw in front of coincident geometry).
  void SetMatrix_Matrix(BaseObject* op, const Matrix& mg);
  void SetMatrix_Matrix(BaseObject* op, const Matrix& mg, Int32 zoffset);
  void SetPen(const Vector& col, Int32 flags = 0);
  void SetTransparency(Int32 trans);
  Int32 GetTransparency() const { return state_.transparency; }
  void SetLightList(Int32 mode);
  void DrawLine(const Vector& p1, const Vector& p2, Int32 flags);
  /// A filled triangle or quadrangle with a colour per point (`f`, may be null: the pen).
  void DrawPolygon(const Vector* p, const Vector* f, Bool quad);
  /// A filled polygon of `anz` (3 or 4) points with colours `f` and normals `n` (either may
  /// be null).
  void DrawPoly(const Vector* p, const Vector* f, const Vector* n, Int32 anz, Int32 flags);
  /// The colour the view really draws for `col` (components kept in 0..1).
  Vector CheckColor(const Vector& col);

  /// The camera object of the scene the view looks through, or null when it uses its own.
  BaseObject* GetSceneCamera(const BaseDocument* doc) const;
  /// The view's own camera (always there).
  BaseObject* GetEditorCamera() const { return editorCamera_; }

  /// Display mode of the view (a DISPLAYMODE_ value).
  Int32 GetDisplayMode() const;

  // Host internals.
  void SetDisplayMode(Int32 mode);
  void SetSceneCamera(BaseObject* camera);
  /// The calls recorded since the last ClearCalls.
  const std::vector<DrawCall>& GetCalls() const { return calls_; }
  /// Forgets the calls and resets the state a redraw starts from (white pen, identity matrix,
  /// z-offset 0, light list 0); the view's transparency stays.
  void ClearCalls();

 private:
  void Record(DrawCall::Kind kind);
  DrawCall state_;
  std::vector<DrawCall> calls_;
  BaseObject* editorCamera_ = nullptr;
  GeLink sceneCamera_;
};

/// What the host hands a Draw call: the document, the view and the display settings in force.
class BaseDrawHelp {
 public:
  BaseDrawHelp(BaseDraw* bd, BaseDocument* doc);
  static BaseDrawHelp* Alloc(BaseDraw* bd, BaseDocument* doc) { return new BaseDrawHelp(bd, doc); }
  static void Free(BaseDrawHelp*& p) {
    delete p;
    p = nullptr;
  }
  BaseDocument* GetDocument() const { return doc_; }
  BaseDraw* GetBaseDraw() const { return bd_; }
  /// The display settings: DISPLAYTAG_SDISPLAYMODE holds the view's display mode.
  BaseContainer* GetDisplay() { return &display_; }
  Matrix GetMg() const { return Matrix(); }

 private:
  BaseDraw* bd_;
  BaseDocument* doc_;
  BaseContainer display_;
};
