#include "c4d_gui.h"

#include <algorithm>
#include <mutex>

#include "c4d_host.h"
#include "c4d_plugin.h"
#include "c4d_resource.h"

namespace {

// Dialogs live on the host's main thread; the lock only keeps the list whole when a thread
// posts a special event.
std::recursive_mutex gDialogMutex;
std::vector<GeDialog*>& OpenList() {
  static std::vector<GeDialog*> open;
  return open;
}
Int32 gCoreMessageCounter = 0;
Int32 gHostSeenCounter = 0;
Int32 gHold = 0;
struct PendingCoreMessage {
  Int32 id;
  UInt64 p1, p2;
};
std::vector<PendingCoreMessage>& Pending() {
  static std::vector<PendingCoreMessage> pending;
  return pending;
}
GeDialog* gFocused = nullptr;

void SendFocusMessage(GeDialog* dlg, Int32 id) {
  BaseContainer msg(id), result;
  dlg->Message(msg, result);
}

constexpr Int32 BFM_ACTION_ID = 0x42414964;     // 'BAId'
constexpr Int32 BFM_ACTION_VALUE = 0x42415661;  // 'BAVa'

}  // namespace

GeDialog::GeDialog() = default;

GeDialog::~GeDialog() {
  std::lock_guard<std::recursive_mutex> lock(gDialogMutex);
  if (gFocused == this) gFocused = nullptr;
  auto& open = OpenList();
  open.erase(std::remove(open.begin(), open.end(), this), open.end());
}

Bool GeDialog::CreateLayout() { return true; }
Bool GeDialog::InitValues() { return true; }
Bool GeDialog::CoreMessage(Int32, const BaseContainer&) { return true; }
Bool GeDialog::Command(Int32, const BaseContainer&) { return true; }
Int32 GeDialog::Message(const BaseContainer&, BaseContainer&) { return 0; }
Bool GeDialog::AskClose() { return false; }
void GeDialog::DestroyWindow() {}

Bool GeDialog::LoadDialogResource(Int32 id, GeResource* lr, Int32) {
  Filename dir;
  if (lr) {
    dir = lr->GetResourcePath();
  } else if (const host::PluginInfo* p = host::FindPlugin(pluginId_)) {
    dir = p->resourcePath;
  }
  std::vector<host::DialogGadget> loaded;
  std::string error;
  if (!host::LoadDialogResource(dir, id, &loaded, &error)) return false;
  gadgets_.clear();
  for (const host::DialogGadget& g : loaded) {
    DialogGadgetState s;
    s.id = g.id;
    s.kind = g.kind;
    s.label = g.text;
    gadgets_.push_back(std::move(s));
  }
  IndexGadgets();
  return true;
}

void GeDialog::IndexGadgets() {
  index_.clear();
  for (size_t i = 0; i < gadgets_.size(); ++i) index_.emplace(gadgets_[i].id, i);
}

Bool GeDialog::Open(DLG_TYPE dlgtype, Int32 pluginid, Int32, Int32, Int32, Int32, Int32 subid) {
  if (open_) return true;
  pluginId_ = pluginid;
  subId_ = subid;
  type_ = dlgtype;
  if (!layoutCreated_) {
    if (!CreateLayout()) return false;
    layoutCreated_ = true;
  }
  if (!InitValues() || !InitSubDialogs()) return false;
  open_ = true;
  std::lock_guard<std::recursive_mutex> lock(gDialogMutex);
  OpenList().push_back(this);
  return true;
}

Bool GeDialog::InitSubDialogs() {
  for (size_t i = 0; i < gadgets_.size(); ++i) {
    SubDialog* sub = gadgets_[i].subDialog;
    if (sub && (!sub->InitValues() || !sub->InitSubDialogs())) return false;
  }
  return true;
}

Bool GeDialog::RestoreLayout(Int32 pluginid, Int32 subid, void*) {
  return Open(DLG_TYPE_ASYNC, pluginid, -1, -1, 0, 0, subid);
}

Bool GeDialog::Close() {
  if (!open_) return true;
  if (gFocused == this) host::FocusDialog(nullptr);
  DestroyWindow();
  open_ = false;
  std::lock_guard<std::recursive_mutex> lock(gDialogMutex);
  auto& open = OpenList();
  open.erase(std::remove(open.begin(), open.end(), this), open.end());
  return true;
}

DialogGadgetState* GeDialog::Gadget(Int32 id) {
  auto it = index_.find(id);
  return it == index_.end() ? nullptr : &gadgets_[it->second];
}

const DialogGadgetState* GeDialog::FindGadget(Int32 id) const {
  auto it = index_.find(id);
  return it == index_.end() ? nullptr : &gadgets_[it->second];
}

Bool GeDialog::IsGadgetVisible(Int32 id) const {
  // Groups nest a few levels deep; a parent id that loops would be a layout mistake.
  const DialogGadgetState* g = FindGadget(id);
  for (size_t depth = 0; g && depth <= gadgets_.size(); ++depth) {
    if (!g->shown) return false;
    if (g->parent == 0) {
      return !parent_ || (parent_->IsGadgetVisible(parentArea_));
    }
    g = FindGadget(g->parent);
  }
  return false;
}

SubDialog* GeDialog::GetSubDialog(Int32 id) const {
  const DialogGadgetState* g = FindGadget(id);
  return g ? g->subDialog : nullptr;
}

GeDialog* GeDialog::GetWindowDialog() {
  GeDialog* d = this;
  while (d->parent_) d = d->parent_;
  return d;
}

DialogGadgetState* GeDialog::AddGadget(Int32 id, const char* kind, Int32 flags) {
  DialogGadgetState s;
  s.id = id;
  s.kind = kind;
  s.flags = flags;
  s.parent = groupStack_.empty() ? 0 : groupStack_.back();
  gadgets_.push_back(std::move(s));
  index_.emplace(id, gadgets_.size() - 1);
  return &gadgets_.back();
}

Bool GeDialog::GroupBegin(Int32 id, Int32 flags, Int32 cols, Int32 rows, const String& title, Int32,
                          Int32, Int32) {
  DialogGadgetState* g = AddGadget(id, "GROUP", flags);
  g->columns = cols;
  g->label = title;
  (void)rows;
  groupStack_.push_back(id);
  return true;
}

Bool GeDialog::ScrollGroupBegin(Int32 id, Int32 flags, Int32 scrollflags, Int32, Int32) {
  AddGadget(id, "SCROLLGROUP", flags)->scrollFlags = scrollflags;
  groupStack_.push_back(id);
  return true;
}

Bool GeDialog::GroupEnd() {
  if (groupStack_.empty()) return false;
  groupStack_.pop_back();
  return true;
}

Bool GeDialog::GroupBorderSpace(Int32, Int32, Int32, Int32) { return !groupStack_.empty(); }

C4DGadget* GeDialog::AddStaticText(Int32 id, Int32 flags, Int32, Int32, const String& name, Int32) {
  AddGadget(id, "STATICTEXT", flags)->label = name;
  return &handles_.emplace_back(id);
}

C4DGadget* GeDialog::AddEditSlider(Int32 id, Int32 flags, Int32, Int32) {
  AddGadget(id, "EDITSLIDER", flags);
  return &handles_.emplace_back(id);
}

C4DGadget* GeDialog::AddSubDialog(Int32 id, Int32 flags, Int32, Int32) {
  AddGadget(id, "SUBDIALOG", flags);
  return &handles_.emplace_back(id);
}

Bool GeDialog::AttachSubDialog(SubDialog* userdlg, Int32 id) {
  DialogGadgetState* area = Gadget(id);
  if (!userdlg || !area || area->kind != "SUBDIALOG") return false;
  if (area->subDialog != userdlg) {
    GeDialog* sub = userdlg;
    sub->parent_ = this;
    sub->parentArea_ = id;
    if (!sub->layoutCreated_) {
      if (!sub->CreateLayout()) return false;
      sub->layoutCreated_ = true;
    }
    // The area's state may have moved while the sub-dialog laid itself out.
    Gadget(id)->subDialog = userdlg;
  }
  if (open_) return userdlg->InitValues();
  return true;
}

Bool GeDialog::GetVisibleArea(Int32 scrollgroupid, Int32* x1, Int32* y1, Int32* x2, Int32* y2) {
  DialogGadgetState* g = Gadget(scrollgroupid);
  if (!g || g->kind != "SCROLLGROUP") return false;
  if (x1) *x1 = g->visibleArea[0];
  if (y1) *y1 = g->visibleArea[1];
  if (x2) *x2 = g->visibleArea[2];
  if (y2) *y2 = g->visibleArea[3];
  return true;
}

Bool GeDialog::SetVisibleArea(Int32 scrollgroupid, Int32 x1, Int32 y1, Int32 x2, Int32 y2) {
  DialogGadgetState* g = Gadget(scrollgroupid);
  if (!g || g->kind != "SCROLLGROUP") return false;
  g->visibleArea[0] = x1;
  g->visibleArea[1] = y1;
  g->visibleArea[2] = x2;
  g->visibleArea[3] = y2;
  return true;
}

Bool GeDialog::LayoutChanged(Int32 id) {
  DialogGadgetState* g = Gadget(id);
  if (!g) return false;
  ++g->layoutChanges;
  return true;
}

Bool GeDialog::SetString(const GadgetPtr& id, const String& text, Int32, Int32) {
  DialogGadgetState* g = Gadget(id.id);
  if (!g) return false;
  if (g->kind == "STATICTEXT" || g->kind == "BUTTON" || g->kind == "CHECKBOX" ||
      g->kind == "GROUP") {
    g->label = text;
  } else {
    g->valueType = DialogGadgetState::Value::Text;
    g->value = GeData(text);
  }
  return true;
}

Bool GeDialog::GetString(const GadgetPtr& id, String& text) const {
  const DialogGadgetState* g = FindGadget(id.id);
  if (!g) return false;
  text = g->valueType == DialogGadgetState::Value::Text ? g->value.GetString() : g->label;
  return true;
}

Bool GeDialog::SetBool(const GadgetPtr& id, Bool value) {
  DialogGadgetState* g = Gadget(id.id);
  if (!g) return false;
  g->valueType = DialogGadgetState::Value::Flag;
  g->value = GeData(value);
  return true;
}

Bool GeDialog::GetBool(const GadgetPtr& id, Bool& value) const {
  const DialogGadgetState* g = FindGadget(id.id);
  if (!g) return false;
  value = g->value.GetBool();
  return true;
}

Bool GeDialog::SetInt32(const GadgetPtr& id, Int32 value, Int32 min, Int32 max, Int32 step, Int32,
                        Int32) {
  DialogGadgetState* g = Gadget(id.id);
  if (!g) return false;
  g->valueType = DialogGadgetState::Value::Integer;
  g->value = GeData(value);
  g->min = min;
  g->max = max;
  g->step = step;
  return true;
}

Bool GeDialog::GetInt32(const GadgetPtr& id, Int32& value) const {
  const DialogGadgetState* g = FindGadget(id.id);
  if (!g) return false;
  value = g->value.GetInt32();
  return true;
}

Bool GeDialog::SetFloat(const GadgetPtr& id, Float value, Float min, Float max, Float step,
                        Int32 format, Float, Float, Bool, Int32) {
  DialogGadgetState* g = Gadget(id.id);
  if (!g) return false;
  g->valueType = DialogGadgetState::Value::Real;
  g->value = GeData(value);
  g->min = min;
  g->max = max;
  g->step = step;
  g->format = format;
  return true;
}

Bool GeDialog::GetFloat(const GadgetPtr& id, Float& value) const {
  const DialogGadgetState* g = FindGadget(id.id);
  if (!g) return false;
  value = g->value.GetFloat();
  return true;
}

Bool GeDialog::SetColorField(const GadgetPtr& id, const Vector& color, Float brightness,
                             Float maxbrightness, Int32) {
  DialogGadgetState* g = Gadget(id.id);
  if (!g) return false;
  g->valueType = DialogGadgetState::Value::Color;
  g->value = GeData(color);
  g->brightness = brightness;
  g->maxBrightness = maxbrightness;
  return true;
}

Bool GeDialog::GetColorField(const GadgetPtr& id, Vector& color, Float& brightness) const {
  const DialogGadgetState* g = FindGadget(id.id);
  if (!g) return false;
  color = g->value.GetVector();
  brightness = g->brightness;
  return true;
}

Bool GeDialog::HideElement(const GadgetPtr& id, Bool hide) {
  DialogGadgetState* g = Gadget(id.id);
  if (!g) return false;
  g->shown = !hide;
  return true;
}

Bool GeDialog::ChangeGadget(Int32 id, const GeData& value) {
  const DialogGadgetState* g = FindGadget(id);
  if (!g || !IsGadgetVisible(id)) return false;
  using V = DialogGadgetState::Value;
  V type = g->valueType;
  if (type == V::None) {
    type = g->kind == "CHECKBOX" ? V::Flag : g->kind == "COLORFIELD" ? V::Color : V::None;
  }
  const Int32 given = value.GetType();
  const bool button = g->kind == "BUTTON";
  GeData shown;
  if (!button) {
    switch (type) {
      case V::Flag:
        if (given != DA_LONG) return false;
        shown = GeData(value.GetBool());
        break;
      case V::Integer:
        if (given != DA_LONG) return false;
        // A number field takes no value outside its range: it shows the nearest one.
        shown = GeData(
            static_cast<Int32>(std::clamp(static_cast<Float>(value.GetInt32()), g->min, g->max)));
        break;
      case V::Real:
        if (given != DA_REAL && given != DA_LONG) return false;
        shown = GeData(std::clamp(value.GetFloat(), g->min, g->max));
        break;
      case V::Color:
        if (given != DA_VECTOR) return false;
        shown = GeData(value.GetVector());
        break;
      case V::Text:
        if (given != DA_STRING) return false;
        shown = value;
        break;
      case V::None:
        return false;
    }
  }
  // A person clicks into the window first; the dialog may answer the focus in any way, so
  // the gadget is looked up again afterwards.
  host::FocusDialog(this);
  BaseContainer msg(BFM_ACTION_ID);
  msg.SetInt32(BFM_ACTION_ID, id);
  if (!button) {
    DialogGadgetState* changed = Gadget(id);
    if (!changed) return false;
    changed->value = shown;
    changed->valueType = type;
    msg.SetData(BFM_ACTION_VALUE, shown);
  }
  Command(id, msg);
  return true;
}

Bool CheckCoreMessage(const BaseContainer& bc, Int32* counter) {
  std::lock_guard<std::recursive_mutex> lock(gDialogMutex);
  Int32& seen = counter ? *counter : gHostSeenCounter;
  const Int32 id = bc.GetInt32(BFM_CORE_UNIQUEID);
  if (id <= seen) return false;
  seen = id;
  return true;
}

namespace host {

std::vector<GeDialog*> OpenDialogs() {
  std::lock_guard<std::recursive_mutex> lock(gDialogMutex);
  return OpenList();
}

GeDialog* FindOpenDialog(Int32 pluginid) {
  std::lock_guard<std::recursive_mutex> lock(gDialogMutex);
  for (GeDialog* d : OpenList()) {
    if (d->GetPluginId() == pluginid) return d;
  }
  return nullptr;
}

void SendCoreMessage(Int32 id, UInt64 p1, UInt64 p2) {
  BaseContainer msg(id);
  {
    std::lock_guard<std::recursive_mutex> lock(gDialogMutex);
    if (gHold > 0) {
      Pending().push_back({id, p1, p2});
      return;
    }
    msg.SetInt32(BFM_CORE_ID, id);
    msg.SetInt32(BFM_CORE_UNIQUEID, ++gCoreMessageCounter);
  }
  msg.SetInt64(BFM_CORE_PAR1, static_cast<Int64>(p1));
  msg.SetInt64(BFM_CORE_PAR2, static_cast<Int64>(p2));
  // A dialog may close (or open another) while it handles the message.
  for (GeDialog* d : OpenDialogs()) {
    const std::vector<GeDialog*> now = OpenDialogs();
    if (std::find(now.begin(), now.end(), d) != now.end()) d->CoreMessage(id, msg);
  }
}

void HoldCoreMessages() {
  std::lock_guard<std::recursive_mutex> lock(gDialogMutex);
  ++gHold;
}

void ReleaseCoreMessages() {
  std::vector<PendingCoreMessage> waiting;
  {
    std::lock_guard<std::recursive_mutex> lock(gDialogMutex);
    if (gHold == 0 || --gHold > 0) return;
    waiting.swap(Pending());
  }
  for (const PendingCoreMessage& m : waiting) SendCoreMessage(m.id, m.p1, m.p2);
}

void FocusDialog(GeDialog* dlg) {
  if (dlg) dlg = dlg->GetWindowDialog();
  GeDialog* old = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(gDialogMutex);
    if (gFocused == dlg) return;
    old = gFocused;
    gFocused = dlg;
  }
  if (old) SendFocusMessage(old, BFM_LOST_FOCUS);
  if (dlg) SendFocusMessage(dlg, BFM_GOT_FOCUS);
}

GeDialog* FocusedDialog() {
  std::lock_guard<std::recursive_mutex> lock(gDialogMutex);
  return gFocused;
}

std::vector<WindowGadget> WindowGadgets(GeDialog* window) {
  std::vector<WindowGadget> out;
  if (!window) return out;
  for (const DialogGadgetState& g : window->GetGadgets()) {
    out.push_back({window, &g, window->IsGadgetVisible(g.id)});
    if (g.subDialog) {
      std::vector<WindowGadget> inner = WindowGadgets(g.subDialog);
      out.insert(out.end(), inner.begin(), inner.end());
    }
  }
  return out;
}

}  // namespace host
