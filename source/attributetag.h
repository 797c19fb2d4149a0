// The base of the module's attribute tags: typed reads of the tag's own parameters.
#pragma once

#include "c4d.h"

/// A tag that carries PMX attributes the host has no place for. The reads answer the host's
/// preset (false, 0, 0.0, the empty string, the zero vector) for an absent id or a tag that
/// is not attached to a node.
class PmxAttributeTagData : public TagData {
 public:
  Bool GetBool(Int32 id) const {
    return Read([&](auto& bc) { return bc.GetBool(id); }, false);
  }
  Int32 GetInt32(Int32 id) const {
    return Read([&](auto& bc) { return bc.GetInt32(id); }, 0);
  }
  Float GetFloat(Int32 id) const {
    return Read([&](auto& bc) { return bc.GetFloat(id); }, 0.0);
  }
  String GetString(Int32 id) const {
    return Read([&](auto& bc) { return bc.GetString(id); }, String());
  }
  Vector GetVector(Int32 id) const {
    return Read([&](auto& bc) { return bc.GetVector(id); }, Vector());
  }

 private:
  template <typename Fn, typename T>
  T Read(Fn get, T preset) const {
    auto* node = static_cast<BaseList2D*>(Get());
    const BaseContainer* bc = node ? node->GetDataInstance() : nullptr;
    return bc ? get(*bc) : preset;
  }
};
