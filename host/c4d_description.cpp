#include "c4d_description.h"

#include "c4d_host.h"
#include "c4d_resource.h"

Bool Description::LoadDescription(Int32 id) {
  const host::PluginInfo* p = host::FindPlugin(id);
  if (!p || !p->description.Content()) return false;
  return LoadDescription(p->description);
}

Bool Description::LoadDescription(const String& name) {
  for (const auto& p : host::Plugins()) {
    if (p.description != name) continue;
    std::string error;
    if (!host::LoadDescriptionResource(p.resourcePath, name, this, &error)) return false;
    name_ = name;
    return true;
  }
  return false;
}

BaseContainer Description::GetCustomDataTypeDefault(Int32 type) {
  BaseContainer bc;
  bc.SetInt32(DESC_ANIMATE, DESC_ANIMATE_ON);
  if (type == DTYPE_REAL) {
    bc.SetInt32(DESC_UNIT, DESC_UNIT_FLOAT);
    bc.SetFloat(DESC_STEP, 1.0);
  }
  return bc;
}

void Description::AddEntry(const DescriptionEntry& e) {
  auto it = index_.find(e.id.id);
  if (it != index_.end() && e.id.id != 0) {
    entries_[it->second] = e;
    return;
  }
  index_[e.id.id] = entries_.size();
  entries_.push_back(e);
}

Bool Description::SetParameter(const DescID& id, const BaseContainer& param,
                               const DescID& groupid) {
  DescriptionEntry e;
  e.id = id;
  e.type = id.dtype ? id.dtype : DTYPE_REAL;
  e.settings = param;
  e.group = groupid;
  AddEntry(e);
  return true;
}

const DescriptionEntry* Description::Find(Int32 id) const {
  auto it = index_.find(id);
  return it == index_.end() ? nullptr : &entries_[it->second];
}

const BaseContainer* Description::GetParameterI(const DescID& id, AtomArray*) const {
  const DescriptionEntry* e = Find(id.id);
  return e ? &e->settings : nullptr;
}

Bool Description::CheckDescID(const DescID& id, AtomArray*) const {
  return !single_ || single_->id == id.id;
}
