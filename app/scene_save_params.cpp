// Writing scene files: parameter containers, leaving out what a new element holds anyway, and
// their values as the reader takes them back.
#include <algorithm>
#include <cmath>
#include <variant>

#include "c4d_host.h"
#include "scene_writer.h"

namespace pmxapp::scenesave {

const std::map<Int32, Int32>* Writer::TypesOf(Int32 type) {
  auto it = paramTypes_.find(type);
  if (it == paramTypes_.end()) {
    std::map<Int32, Int32> types;
    Description d;
    if (host::FindPlugin(type) && d.LoadDescription(type)) {
      for (const auto& e : d.Entries()) types[e.id.id] = e.type;
    }
    it = paramTypes_.emplace(type, std::move(types)).first;
  }
  return it->second.empty() ? nullptr : &it->second;
}

const BaseContainer* Writer::Fresh(Int32 type, bool tag) {
  const host::PluginInfo* p = host::FindPlugin(type);
  if (!p || p->type != (tag ? PLUGINTYPE::TAG : PLUGINTYPE::OBJECT)) return nullptr;
  auto& cache = tag ? freshTags_ : freshObjects_;
  auto it = cache.find(type);
  if (it == cache.end()) {
    std::unique_ptr<BaseList2D> node(tag ? static_cast<BaseList2D*>(BaseTag::Alloc(type))
                                         : static_cast<BaseList2D*>(BaseObject::Alloc(type)));
    it = cache.emplace(type, std::move(node)).first;
  }
  return it->second ? it->second->GetDataInstance() : nullptr;
}

OJson Writer::Params(const BaseContainer& bc, const std::map<Int32, Int32>* types,
                     const std::vector<Int32>& named, const BaseContainer* defaults) {
  OJson p = OJson::object();
  for (const auto& [id, value] : bc.Entries()) {
    if (std::find(named.begin(), named.end(), id) != named.end()) continue;
    if (defaults) {
      const GeData* d = defaults->GetDataPointer(id);
      if (d && *d == value) continue;
    }
    Int32 dtype = 0;
    if (types) {
      auto it = types->find(id);
      if (it != types->end()) dtype = it->second;
    }
    p[std::to_string(id)] = Value(value, dtype);
  }
  return p;
}

OJson Writer::Value(const GeData& d, Int32 dtype) {
  const GeData::Value& v = d.GetValue();
  if (auto* i = std::get_if<Int32>(&v)) {
    if (dtype == DTYPE_BOOL && (*i == 0 || *i == 1)) return *i != 0;
    return *i;
  }
  if (auto* i = std::get_if<Int64>(&v)) return *i;
  if (auto* f = std::get_if<Float>(&v)) {
    if (!std::isfinite(*f)) {
      NonFinite();
      return nullptr;
    }
    return *f;  // written with its fraction ("1.0"), so it reads back as a float
  }
  if (auto* vec = std::get_if<Vector>(&v)) return Vec(*vec);
  if (auto* m = std::get_if<Matrix>(&v))
    return OJson{{"matrix", OJson::array({Vec(m->off), Vec(m->v1), Vec(m->v2), Vec(m->v3)})}};
  if (auto* s = std::get_if<String>(&v)) return s->GetUtf8();
  if (auto* f = std::get_if<Filename>(&v)) {
    if (dtype == DTYPE_FILENAME) return f->GetString().GetUtf8();
    return OJson{{"file", f->GetString().GetUtf8()}};
  }
  if (std::get_if<GeLink>(&v)) return OJson{{"link", Ref(d.GetLink(), false)}};
  if (auto* u = std::get_if<UnitScaleData>(&v)) {
    if (dtype == CUSTOMDATATYPE_UNITSCALE) return Unit(*u);
    return OJson{{"unit", Unit(*u)}};
  }
  if (const BaseContainer* c = d.GetContainer()) {
    OJson j = OJson::object();
    j["container"] = Params(*c, nullptr, {}, nullptr);
    if (c->GetId() != 0) j["containerId"] = c->GetId();
    return j;
  }
  return nullptr;
}

}  // namespace pmxapp::scenesave
