#include "c4d_basematerial.h"

BaseMaterial* BaseMaterial::Alloc(Int32 type) { return new BaseMaterial(type); }

BaseChannel* BaseMaterial::GetChannel(Int32 id) { return &channels_[id]; }

Bool BaseMaterial::GetChannelState(Int32 channel) const {
  auto it = states_.find(channel);
  if (it != states_.end()) return it->second;
  return channel == CHANNEL_COLOR || channel == CHANNEL_SPECULAR;  // the host's new material
}

void BaseMaterial::SetChannelState(Int32 channel, Bool state) {
  states_[channel] = state;
  SetDirty(DIRTYFLAGS_DATA);
}

Bool BaseMaterial::CopyTo(BaseList2D* dst, COPYFLAGS flags, void* trn) const {
  auto* d = static_cast<BaseMaterial*>(dst);
  d->channels_ = channels_;
  d->states_ = states_;
  return BaseList2D::CopyTo(dst, flags, trn);
}
