// Dialogs: GeDialog loaded from a dialog resource or laid out in code (groups, scroll groups,
// static texts, edit sliders, sub-dialogs attached to an area), opened non-modally under a
// plug-in id, and the core messages (special events, document changed or recalculated) and
// focus messages the host sends to open dialogs. The headless dialogs keep their gadgets (id,
// kind, label, value, range, shown, the group they sit in) so that a person's view of them can
// be printed and changed.
#pragma once

#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "c4d_basecontainer.h"
#include "c4d_string.h"

class GeResource;

enum DLG_TYPE : Int32 {
  DLG_TYPE_MODAL = 10,
  DLG_TYPE_MODAL_RESIZEABLE = 11,
  DLG_TYPE_ASYNC = 20,
  DLG_TYPE_ASYNC_POPUP_RESIZEABLE = 21,
  DLG_TYPE_ASYNC_POPUPEDIT = 22,
  DLG_TYPE_ASYNC_FULLSCREEN_WORK = 30,
  DLG_TYPE_ASYNC_FULLSCREEN_MONITOR = 31,
};

// Core message ids, and the entries of a core message's container.
constexpr Int32 EVMSG_CHANGE = 604;                       // something in a document changed
constexpr Int32 EVMSG_DOCUMENTRECALCULATED = 0x6472636c;  // 'drcl'
enum : Int32 {
  BFM_CORE_ID = 0x49436964,        // 'ICid'
  BFM_CORE_UNIQUEID = 0x4943756e,  // 'ICun'
  BFM_CORE_PAR1 = 0x49437031,      // 'ICp1'
  BFM_CORE_PAR2 = 0x49437032,      // 'ICp2'
};

// Messages a dialog's Message receives (the container's id).
enum : Int32 {
  BFM_GOT_FOCUS = 0x42466373,   // 'BFcs': the dialog's window got the keyboard focus
  BFM_LOST_FOCUS = 0x424c6373,  // 'BLcs': it lost it
};

// Layout flags of gadgets and groups: vertical placement in the low bits, horizontal above.
enum : Int32 {
  BFV_CENTER = 0,
  BFV_TOP = 1,
  BFV_BOTTOM = 2,
  BFV_FIT = 3,
  BFV_SCALE = 4,
  BFV_SCALEFIT = 7,
  BFH_CENTER = 0,
  BFH_LEFT = 8,
  BFH_RIGHT = 16,
  BFH_FIT = 24,
  BFH_SCALE = 32,
  BFH_SCALEFIT = 56,
};

enum : Int32 {
  BORDER_NONE = 0,
};

// Ranges of number fields left open.
constexpr Int32 LIMIT_INT32_MIN = -2147483647 - 1;
constexpr Int32 LIMIT_INT32_MAX = 2147483647;
constexpr Float LIMIT_FLOAT_MAX = 1.7976931348623157e308;

// How a number field shows its value.
enum : Int32 {
  FORMAT_FLOAT = 0x66726561,    // 'frea': a plain number
  FORMAT_INT = 0x666c6e67,      // 'flng'
  FORMAT_PERCENT = 0x66706374,  // 'fpct'
  FORMAT_DEGREE = 0x66646772,   // 'fdgr'
  FORMAT_METER = 0x666d6574,    // 'fmet'
};
constexpr Int32 FORMAT_REAL = FORMAT_FLOAT;  // its name before R15

class SubDialog;

/// The handle an Add... call of a dialog answers for the gadget it made.
class C4DGadget {
 public:
  explicit C4DGadget(Int32 id) : id_(id) {}
  Int32 GetId() const { return id_; }

 private:
  Int32 id_;
};

/// A gadget named by its id or by its handle.
struct GadgetPtr {
  Int32 id;
  GadgetPtr(Int32 t_id) : id(t_id) {}
  GadgetPtr(const C4DGadget* g) : id(g ? g->GetId() : 0) {}
};

/// One gadget of a dialog as a person sees it.
struct DialogGadgetState {
  Int32 id = 0;
  /// The resource's gadget keyword: CHECKBOX, COLORFIELD, EDITNUMBERARROWS, BUTTON, STATICTEXT,
  /// EDITSLIDER, GROUP, SCROLLGROUP, SUBDIALOG...
  std::string kind;
  String label;  // a static text's or a button's text, a group's title
  /// What the last Set call gave it: none, a flag, an integer, a real, a colour or a text.
  enum class Value { None, Flag, Integer, Real, Color, Text } valueType = Value::None;
  GeData value;
  Float brightness = 1.0, maxBrightness = 1.0;  // colour fields
  Float min = 0, max = 0, step = 0;             // number fields
  Int32 format = 0;                             // number fields: FORMAT_FLOAT...
  Bool shown = true;  // the gadget's own state: a hidden group hides what it holds as well
  /// Layout of gadgets made in code: the enclosing group's id (0: none, or a gadget of a
  /// resource), layout flags (BFH_..., BFV_...), a group's columns, a scroll group's flags.
  Int32 parent = 0, flags = 0, columns = 0, scrollFlags = 0;
  /// Scroll groups: the part of their content in view (x1, y1, x2, y2), and how often the
  /// dialog asked for a new layout of a group (LayoutChanged).
  Int32 visibleArea[4] = {0, 0, 0, 0};
  Int32 layoutChanges = 0;
  /// Sub-dialog areas: the sub-dialog attached to it, or null.
  SubDialog* subDialog = nullptr;
};

class GeDialog {
 public:
  GeDialog();
  GeDialog(const GeDialog&) = delete;
  GeDialog& operator=(const GeDialog&) = delete;
  virtual ~GeDialog();

  virtual Bool CreateLayout();
  virtual Bool InitValues();
  virtual Bool CoreMessage(Int32 id, const BaseContainer& msg);
  virtual Bool Command(Int32 id, const BaseContainer& msg);
  virtual Int32 Message(const BaseContainer& msg, BaseContainer& result);
  virtual Bool AskClose();
  virtual void DestroyWindow();

  /// Loads the gadgets of dialog resource `id` from `lr` (null: the resources of the module
  /// that registered the plug-in id the dialog is opened under).
  Bool LoadDialogResource(Int32 id, GeResource* lr, Int32 flags);
  /// Opens the dialog; an asynchronous (non-modal) dialog stays open until closed.
  Bool Open(DLG_TYPE dlgtype, Int32 pluginid, Int32 xpos = -1, Int32 ypos = -1, Int32 defaultw = 0,
            Int32 defaulth = 0, Int32 subid = 0);
  /// Reopens the dialog as the host's saved layout had it.
  Bool RestoreLayout(Int32 pluginid, Int32 subid, void* secret);
  Bool Close();
  Bool IsOpen() const { return open_; }
  void SetTitle(const String& title) { title_ = title; }
  String GetTitle() const { return title_; }

  Bool SetBool(const GadgetPtr& id, Bool value);
  Bool GetBool(const GadgetPtr& id, Bool& value) const;
  Bool SetInt32(const GadgetPtr& id, Int32 value, Int32 min = LIMIT_INT32_MIN,
                Int32 max = LIMIT_INT32_MAX, Int32 step = 1, Int32 min2 = LIMIT_INT32_MIN,
                Int32 max2 = LIMIT_INT32_MAX);
  Bool GetInt32(const GadgetPtr& id, Int32& value) const;
  Bool SetFloat(const GadgetPtr& id, Float value, Float min = -LIMIT_FLOAT_MAX,
                Float max = LIMIT_FLOAT_MAX, Float step = 1.0, Int32 format = FORMAT_FLOAT,
                Float min2 = 0.0, Float max2 = 0.0, Bool quadscale = false, Int32 tristate = 0);
  Bool GetFloat(const GadgetPtr& id, Float& value) const;
  Bool SetColorField(const GadgetPtr& id, const Vector& color, Float brightness,
                     Float maxbrightness, Int32 flags);
  Bool GetColorField(const GadgetPtr& id, Vector& color, Float& brightness) const;
  /// A static text's or button's text; an edit field's value.
  Bool SetString(const GadgetPtr& id, const String& text, Int32 tristate = 0, Int32 flags = 0);
  Bool GetString(const GadgetPtr& id, String& text) const;
  Bool HideElement(const GadgetPtr& id, Bool hide);

  // Layout in code (CreateLayout): groups hold the gadgets added until their GroupEnd.
  Bool GroupBegin(Int32 id, Int32 flags, Int32 cols, Int32 rows, const String& title,
                  Int32 groupflags, Int32 initw = 0, Int32 inith = 0);
  Bool ScrollGroupBegin(Int32 id, Int32 flags, Int32 scrollflags, Int32 initw = 0, Int32 inith = 0);
  Bool GroupEnd();
  Bool GroupBorderSpace(Int32 left, Int32 top, Int32 right, Int32 bottom);
  C4DGadget* AddStaticText(Int32 id, Int32 flags, Int32 initw = 0, Int32 inith = 0,
                           const String& name = String(), Int32 borderstyle = BORDER_NONE);
  C4DGadget* AddEditSlider(Int32 id, Int32 flags, Int32 initw = 80, Int32 inith = 0);
  C4DGadget* AddSubDialog(Int32 id, Int32 flags, Int32 initw = 0, Int32 inith = 0);
  /// Lays `userdlg` out (its CreateLayout) in the sub-dialog area `id`; its InitValues runs
  /// when the dialog opens (or at once when it is open already).
  Bool AttachSubDialog(SubDialog* userdlg, Int32 id);
  /// The part of a scroll group's content in view.
  Bool GetVisibleArea(Int32 scrollgroupid, Int32* x1, Int32* y1, Int32* x2, Int32* y2);
  Bool SetVisibleArea(Int32 scrollgroupid, Int32 x1, Int32 y1, Int32 x2, Int32 y2);
  /// Lays group `id` out again after gadgets were shown, hidden or added.
  Bool LayoutChanged(Int32 id);

  // Host internals: what a person sees of the dialog and what they do with it.
  const std::vector<DialogGadgetState>& GetGadgets() const { return gadgets_; }
  /// The gadget `id`, or null.
  const DialogGadgetState* FindGadget(Int32 id) const;
  /// Whether a person sees gadget `id`: it, every group around it and, for a sub-dialog,
  /// its area are shown.
  Bool IsGadgetVisible(Int32 id) const;
  /// The sub-dialog attached to the area `id`, or null.
  SubDialog* GetSubDialog(Int32 id) const;
  /// The dialog whose window this one is shown in: itself, or for an attached sub-dialog
  /// the dialog it is attached to (through every level).
  GeDialog* GetWindowDialog();
  /// A person changes gadget `id` to `value` (a flag, integer, real or colour as the gadget
  /// holds): the dialog's window takes the focus, the gadget shows the value (a number field
  /// the nearest value of its range) and the dialog hears of it through Command, as the host
  /// tells it. A button is pressed with any value. False when the dialog has no such gadget,
  /// a person cannot see it, or the value does not fit its kind.
  Bool ChangeGadget(Int32 id, const GeData& value);
  Int32 GetPluginId() const { return pluginId_; }
  Int32 GetSubId() const { return subId_; }
  DLG_TYPE GetDialogType() const { return type_; }

 protected:
  /// Set by AttachSubDialog on the sub-dialog.
  GeDialog* parent_ = nullptr;
  Int32 parentArea_ = 0;

 private:
  DialogGadgetState* Gadget(Int32 id);
  DialogGadgetState* AddGadget(Int32 id, const char* kind, Int32 flags);
  void IndexGadgets();
  /// Runs InitValues of every attached sub-dialog, in layout order.
  Bool InitSubDialogs();
  std::vector<DialogGadgetState> gadgets_;
  std::unordered_map<Int32, size_t> index_;  // id -> first gadget of that id
  std::deque<C4DGadget> handles_;            // stable: plug-ins keep them
  std::vector<Int32> groupStack_;            // groups open during layout
  String title_;
  Bool open_ = false;
  Bool layoutCreated_ = false;
  Int32 pluginId_ = 0, subId_ = 0;
  DLG_TYPE type_ = DLG_TYPE_ASYNC;
};

/// A dialog shown inside an area of another dialog's window; laid out and driven like any
/// dialog, but opened and closed with the window it is attached to.
class SubDialog : public GeDialog {
 public:
  /// The dialog it is attached to, or null.
  GeDialog* GetParentDialog() const { return parent_; }
};

/// Whether the core message `bc` is new to the counter `counter` (a caller's own; null: one
/// the host keeps); remembers it as seen.
Bool CheckCoreMessage(const BaseContainer& bc, Int32* counter = nullptr);

namespace host {
/// One gadget of a window in the order a person reads it, with the dialog that owns it (the
/// window's dialog or a sub-dialog attached to one of its areas): change it through
/// `owner->ChangeGadget(state->id, value)`.
struct WindowGadget {
  GeDialog* owner = nullptr;
  const DialogGadgetState* state = nullptr;
  Bool visible = false;  // IsGadgetVisible: the gadget and everything around it shown
};
/// Every gadget of `window`, each attached sub-dialog's gadgets in place of its area (the area
/// itself is listed first). Pointers stay valid until the dialogs lay themselves out again.
std::vector<WindowGadget> WindowGadgets(GeDialog* window);
}  // namespace host
