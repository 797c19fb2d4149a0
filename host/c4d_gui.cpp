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

constexpr Int32 BFM_ACTION_ID = 0x42414964;     // 'BAId'
constexpr Int32 BFM_ACTION_VALUE = 0x42415661;  // 'BAVa'

}  // namespace

GeDialog::GeDialog() = default;

GeDialog::~GeDialog() {
  std::lock_guard<std::recursive_mutex> lock(gDialogMutex);
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
  return true;
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
  if (!InitValues()) return false;
  open_ = true;
  std::lock_guard<std::recursive_mutex> lock(gDialogMutex);
  OpenList().push_back(this);
  return true;
}

Bool GeDialog::RestoreLayout(Int32 pluginid, Int32 subid, void*) {
  return Open(DLG_TYPE_ASYNC, pluginid, -1, -1, 0, 0, subid);
}

Bool GeDialog::Close() {
  if (!open_) return true;
  DestroyWindow();
  open_ = false;
  std::lock_guard<std::recursive_mutex> lock(gDialogMutex);
  auto& open = OpenList();
  open.erase(std::remove(open.begin(), open.end(), this), open.end());
  return true;
}

DialogGadgetState* GeDialog::Gadget(Int32 id) {
  for (DialogGadgetState& g : gadgets_) {
    if (g.id == id) return &g;
  }
  return nullptr;
}

const DialogGadgetState* GeDialog::FindGadget(Int32 id) const {
  for (const DialogGadgetState& g : gadgets_) {
    if (g.id == id) return &g;
  }
  return nullptr;
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
                        FORMAT_FLOAT, Float, Float, Bool, Int32) {
  DialogGadgetState* g = Gadget(id.id);
  if (!g) return false;
  g->valueType = DialogGadgetState::Value::Real;
  g->value = GeData(value);
  g->min = min;
  g->max = max;
  g->step = step;
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
  DialogGadgetState* g = Gadget(id);
  if (!g || !g->shown) return false;
  using V = DialogGadgetState::Value;
  V type = g->valueType;
  if (type == V::None) {
    type = g->kind == "CHECKBOX" ? V::Flag : g->kind == "COLORFIELD" ? V::Color : V::None;
  }
  const Int32 given = value.GetType();
  switch (type) {
    case V::Flag:
      if (given != DA_LONG) return false;
      g->value = GeData(value.GetBool());
      break;
    case V::Integer:
      if (given != DA_LONG) return false;
      // A number field takes no value outside its range: it shows the nearest one.
      g->value = GeData(
          static_cast<Int32>(std::clamp(static_cast<Float>(value.GetInt32()), g->min, g->max)));
      break;
    case V::Real:
      if (given != DA_REAL && given != DA_LONG) return false;
      g->value = GeData(std::clamp(value.GetFloat(), g->min, g->max));
      break;
    case V::Color:
      if (given != DA_VECTOR) return false;
      g->value = GeData(value.GetVector());
      break;
    case V::None:
      return false;
  }
  g->valueType = type;
  BaseContainer msg(BFM_ACTION_ID);
  msg.SetInt32(BFM_ACTION_ID, id);
  msg.SetData(BFM_ACTION_VALUE, g->value);
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

}  // namespace host
