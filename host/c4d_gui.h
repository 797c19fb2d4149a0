// Dialogs: GeDialog loaded from a dialog resource, opened non-modally under a plug-in id, and
// the core messages (special events, document recalculated) the host sends to open dialogs.
// The headless dialogs keep their gadgets (id, kind, label, value, range, shown) so that a
// person's view of them can be printed and changed.
#pragma once

#include <string>
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
constexpr Int32 EVMSG_DOCUMENTRECALCULATED = 0x6472636c;  // 'drcl'
enum : Int32 {
  BFM_CORE_ID = 0x49436964,        // 'ICid'
  BFM_CORE_UNIQUEID = 0x4943756e,  // 'ICun'
  BFM_CORE_PAR1 = 0x49437031,      // 'ICp1'
  BFM_CORE_PAR2 = 0x49437032,      // 'ICp2'
};

// Ranges of number fields left open.
constexpr Int32 LIMIT_INT32_MIN = -2147483647 - 1;
constexpr Int32 LIMIT_INT32_MAX = 2147483647;
constexpr Float LIMIT_FLOAT_MAX = 1.7976931348623157e308;

enum FORMAT_FLOAT : Int32 {
  FORMAT_FLOAT_REAL = 1017,
  FORMAT_FLOAT_PERCENT = 1018,
  FORMAT_FLOAT_DEGREE = 1019,
  FORMAT_FLOAT_METER = 1023,
};
constexpr FORMAT_FLOAT FORMAT_REAL = FORMAT_FLOAT_REAL;

/// A gadget named by its id.
struct GadgetPtr {
  Int32 id;
  GadgetPtr(Int32 t_id) : id(t_id) {}
};

/// One gadget of a dialog as a person sees it.
struct DialogGadgetState {
  Int32 id = 0;
  std::string kind;  // the resource's gadget keyword: CHECKBOX, COLORFIELD, EDITNUMBERARROWS...
  String label;
  /// What the last Set call gave it: none, a flag, an integer, a real or a colour.
  enum class Value { None, Flag, Integer, Real, Color } valueType = Value::None;
  GeData value;
  Float brightness = 1.0, maxBrightness = 1.0;  // colour fields
  Float min = 0, max = 0, step = 0;             // number fields
  Bool shown = true;
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
                Float max = LIMIT_FLOAT_MAX, Float step = 1.0, FORMAT_FLOAT format = FORMAT_REAL,
                Float min2 = 0.0, Float max2 = 0.0, Bool quadscale = false, Int32 tristate = 0);
  Bool GetFloat(const GadgetPtr& id, Float& value) const;
  Bool SetColorField(const GadgetPtr& id, const Vector& color, Float brightness,
                     Float maxbrightness, Int32 flags);
  Bool GetColorField(const GadgetPtr& id, Vector& color, Float& brightness) const;
  Bool HideElement(const GadgetPtr& id, Bool hide);

  // Host internals.
  const std::vector<DialogGadgetState>& GetGadgets() const { return gadgets_; }
  /// The gadget `id`, or null.
  const DialogGadgetState* FindGadget(Int32 id) const;
  /// A person changes gadget `id` to `value` (a flag, integer, real or colour as the gadget
  /// holds) and the dialog hears of it through Command, as the host tells it. False when the
  /// dialog has no such gadget or the value does not fit its kind.
  Bool ChangeGadget(Int32 id, const GeData& value);
  Int32 GetPluginId() const { return pluginId_; }
  Int32 GetSubId() const { return subId_; }
  DLG_TYPE GetDialogType() const { return type_; }

 private:
  DialogGadgetState* Gadget(Int32 id);
  std::vector<DialogGadgetState> gadgets_;
  String title_;
  Bool open_ = false;
  Bool layoutCreated_ = false;
  Int32 pluginId_ = 0, subId_ = 0;
  DLG_TYPE type_ = DLG_TYPE_ASYNC;
};

/// Whether the core message `bc` is new to the counter `counter` (a caller's own; null: one
/// the host keeps); remembers it as seen.
Bool CheckCoreMessage(const BaseContainer& bc, Int32* counter = nullptr);
