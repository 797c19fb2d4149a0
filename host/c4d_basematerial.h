// Materials and their channels.
#pragma once

#include <map>

#include "c4d_baselist.h"

enum : Int32 {
  CHANNEL_COLOR = 0,
  CHANNEL_LUMINANCE = 1,
  CHANNEL_TRANSPARENCY = 2,
  CHANNEL_REFLECTION = 3,
  CHANNEL_ENVIRONMENT = 4,
  CHANNEL_FOG = 5,
  CHANNEL_BUMP = 6,
  CHANNEL_ALPHA = 7,
  CHANNEL_SPECULAR = 8,
  CHANNEL_SPECULARCOLOR = 9,
  CHANNEL_GLOW = 10,
  CHANNEL_DISPLACEMENT = 11,
  CHANNEL_DIFFUSION = 12,
  CHANNEL_NORMAL = 13,
};

enum : Int32 {
  BASECHANNEL_COLOR_EX = 1000,
  BASECHANNEL_BRIGHTNESS_EX = 1001,
  BASECHANNEL_TEXTURE = 1002,
};

/// One channel of a material: its data container (colour, brightness, texture).
class BaseChannel {
 public:
  BaseContainer GetData() const { return data_; }
  void SetData(const BaseContainer& bc) { data_.MergeContainer(bc); }
  BaseContainer* GetDataInstance() { return &data_; }

 private:
  BaseContainer data_;
};

class BaseMaterial : public BaseList2D {
 public:
  explicit BaseMaterial(Int32 type) : type_(type) {}
  static BaseMaterial* Alloc(Int32 type);
  static void Free(BaseMaterial*& m) {
    delete m;
    m = nullptr;
  }
  Int32 GetType() const override { return type_; }
  Bool IsInstanceOf(Int32 id) const override { return id == type_ || id == Mbase; }
  BaseMaterial* GetNext() const { return static_cast<BaseMaterial*>(GeListNode::GetNext()); }
  BaseList2D* AllocSame() const override { return Alloc(type_); }
  Bool CopyTo(BaseList2D* dst, COPYFLAGS flags, void* trn = nullptr) const override;

  /// The channel `id` (created on first use).
  BaseChannel* GetChannel(Int32 id);
  Bool GetChannelState(Int32 channel) const;
  void SetChannelState(Int32 channel, Bool state);
  const std::map<Int32, BaseChannel>& Channels() const { return channels_; }
  const std::map<Int32, Bool>& ChannelStates() const { return states_; }

 private:
  Int32 type_;
  std::map<Int32, BaseChannel> channels_;
  std::map<Int32, Bool> states_;
};

/// The host's standard material.
using Material = BaseMaterial;
