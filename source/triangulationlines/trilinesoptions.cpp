#include "triangulationlines/trilinesoptions.h"

#include "triangulationlines/trilinesdraw.h"

namespace {

enum class GadgetKind { Flag, Color, Integer, Real };

struct OptionGadget {
  Int32 id;
  GadgetKind kind;
};

// In the order the dialog is filled; each gadget id is the hook parameter it shows.
constexpr OptionGadget kGadgets[] = {
    {TRI_LINES_DRAW, GadgetKind::Flag},
    {TRI_LINES_COLOR, GadgetKind::Color},
    {TRI_LINES_TRANSPARENCY, GadgetKind::Integer},
    {TRI_LINES_TRANSPARENCY_POSITIVE, GadgetKind::Flag},
    {TRI_LINES_PMX_EDGE_DRAW, GadgetKind::Flag},
    {TRI_LINES_PMX_EDGE_COLOR, GadgetKind::Color},
    {TRI_LINES_PMX_EDGE_WIDTH, GadgetKind::Real},
    {TRI_LINES_PMX_EDGE_GOURAUD, GadgetKind::Flag},
    {TRI_LINES_PMX_EDGE_QUICK, GadgetKind::Flag},
    {TRI_LINES_PMX_EDGE_CONSTANT, GadgetKind::Flag},
    {TRI_LINES_PMX_EDGE_HIDDENLINE, GadgetKind::Flag},
};

// The ranges live only in the dialog: the hook itself takes any value.
constexpr Int32 kTransparencyMax = 255;
constexpr Float kWidthMax = 1e18;

}  // namespace

Bool TriLinesOptionDlg::CreateLayout() {
  if (!GeDialog::CreateLayout()) return false;
  if (!LoadDialogResource(DLG_TRI_LINES_OPTIONS, nullptr, 0)) return false;
  FillGadgets();
  return true;
}

Bool TriLinesOptionDlg::InitValues() { return GeDialog::InitValues(); }

void TriLinesOptionDlg::FillGadgets() {
  BaseSceneHook* hook = FindTriLinesHook(GetActiveDocument());
  if (!hook) return;
  const BaseContainer* bc = hook->GetDataInstance();
  for (const OptionGadget& g : kGadgets) {
    switch (g.kind) {
      case GadgetKind::Flag:
        SetBool(g.id, bc->GetBool(g.id));
        break;
      case GadgetKind::Color:
        SetColorField(g.id, bc->GetVector(g.id), 1.0, 1.0, 0);
        break;
      case GadgetKind::Integer:
        SetInt32(g.id, bc->GetInt32(g.id), 0, kTransparencyMax, 1);
        break;
      case GadgetKind::Real:
        SetFloat(g.id, bc->GetFloat(g.id), 0.0, kWidthMax, 1.0);
        break;
    }
  }
}

Bool TriLinesOptionDlg::CoreMessage(Int32 id, const BaseContainer& msg) {
  // A switch command changed the hook, or the document was recalculated (perhaps another
  // document became the active one).
  if (id == ID_TRI_LINES_OPTIONS ||
      (id == EVMSG_DOCUMENTRECALCULATED && CheckCoreMessage(msg, &coreMessageCounter_) &&
       GetActiveDocument())) {
    FillGadgets();
  }
  return GeDialog::CoreMessage(id, msg);
}

Bool TriLinesOptionDlg::Command(Int32 id, const BaseContainer&) {
  for (const OptionGadget& g : kGadgets) {
    if (g.id != id) continue;
    BaseSceneHook* hook = FindTriLinesHook(GetActiveDocument());
    if (!hook) return true;
    BaseContainer* bc = hook->GetDataInstance();
    switch (g.kind) {
      case GadgetKind::Flag: {
        Bool value = false;
        GetBool(id, value);
        bc->SetBool(id, value);
        break;
      }
      case GadgetKind::Color: {
        Vector color;
        Float brightness = 1.0;
        GetColorField(id, color, brightness);
        bc->SetVector(id, color);
        break;
      }
      case GadgetKind::Integer: {
        Int32 value = 0;
        GetInt32(id, value);
        bc->SetInt32(id, value);
        break;
      }
      case GadgetKind::Real: {
        Float value = 0.0;
        GetFloat(id, value);
        bc->SetFloat(id, value);
        break;
      }
    }
    EventAdd(EVENT_FORCEREDRAW);
    return true;
  }
  return true;
}

Int32 TriLinesOptionDlg::Message(const BaseContainer& msg, BaseContainer& result) {
  return GeDialog::Message(msg, result);
}

Bool TriLinesOptionDlgCmd::Execute(BaseDocument*) {
  return dialog_.Open(DLG_TYPE_ASYNC, ID_TRI_LINES_OPTIONS, -1, -1, 0, 0, 0);
}

Int32 TriLinesOptionDlgCmd::GetState(BaseDocument*) { return CMD_ENABLED; }

Bool TriLinesOptionDlgCmd::RestoreLayout(void* secret) {
  return dialog_.RestoreLayout(ID_TRI_LINES_OPTIONS, 0, secret);
}

Bool TriLinesOptionDlgCmd::Message(Int32, void*) { return true; }

Bool RegisterTriLinesOptionDlgCmd() {
  return RegisterCommandPlugin(ID_TRI_LINES_OPTIONS, GeLoadString(IDS_TRI_LINES_OPTIONS), 0,
                               AutoBitmap(String("tri_lines_op.png")), String(),
                               new TriLinesOptionDlgCmd);
}
