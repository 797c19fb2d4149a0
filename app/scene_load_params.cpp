// Scene files: parameter containers typed by the plug-ins' descriptions, and the links
// between elements, resolved once the whole scene is loaded.
#include <algorithm>

#include "message_text.h"
#include "scene_loader.h"

namespace pmxapp::sceneload {

using namespace scene;

const ParamTypes* Loader::TypesOf(Int32 type) {
  auto it = paramTypes_.find(type);
  if (it == paramTypes_.end()) {
    ParamTypes types;
    Description d;
    if (d.LoadDescription(type)) {
      for (const auto& e : d.Entries()) types[e.id.id] = e.type;
    }
    it = paramTypes_.emplace(type, std::move(types)).first;
  }
  return it->second.empty() ? nullptr : &it->second;
}

bool Loader::ParseParamId(const std::string& key, Int32* id) {
  if (key.empty() || key.size() > 11) return false;
  size_t i = key[0] == '-' ? 1 : 0;
  if (i == key.size() || (key[i] == '0' && key.size() > i + 1)) return false;
  Int64 v = 0;
  for (; i < key.size(); ++i) {
    if (key[i] < '0' || key[i] > '9') return false;
    v = v * 10 + (key[i] - '0');
  }
  if (key[0] == '-') v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  *id = static_cast<Int32>(v);
  return true;
}

void Loader::LoadParams(const Json& p, BaseContainer* bc, const ParamTypes* types,
                        const std::vector<Int32>& named, std::vector<Int32> idPath,
                        BaseContainer* root) {
  if (!root) root = bc;
  if (static_cast<int>(idPath.size()) > kMaxDepth / 10) Fail("containers are nested too deep");
  CheckObject(p, "an object of parameters such as {\"1000\": true}");
  for (const auto& [key, value] : p.items()) {
    At a(*this, key);
    Int32 id = 0;
    if (!ParseParamId(key, &id)) Fail("a parameter id must be a whole number such as \"1000\"");
    if (std::find(named.begin(), named.end(), id) != named.end())
      Fail("parameter " + key + " is already given by its own key");
    const Int32 dtype = types ? (types->count(id) ? types->at(id) : 0) : 0;
    std::vector<Int32> here = idPath;
    here.push_back(id);
    bc->SetData(id, ParamValue(value, dtype, here, root));
  }
}

GeData Loader::ParamValue(const Json& v, Int32 dtype, const std::vector<Int32>& idPath,
                          BaseContainer* root) {
  switch (dtype) {
    case DTYPE_BOOL:
      if (v.is_boolean()) return GeData(v.get<bool>());
      if (v.is_number_integer()) return GeData(Bool(Int(v, 0, 1, "true or false") != 0));
      Expected("true or false", v);
    case DTYPE_LONG:
      if (v.is_boolean()) return GeData(Int32(v.get<bool>() ? 1 : 0));
      return GeData(Int(v, INT32_MIN, INT32_MAX, "a whole number"));
    case DTYPE_REAL:
      return GeData(Number(v));
    case DTYPE_VECTOR:
    case DTYPE_COLOR:
      return GeData(Vec(v));
    case DTYPE_STRING:
      return GeData(String(Text(v)));
    case DTYPE_FILENAME:
      if (v.is_string()) return GeData(Filename(String(v.str())));
      if (!(v.is_object() && v.contains("file"))) Expected("a file name", v);
      break;
    case DTYPE_BASELISTLINK:
      if (!(v.is_null() || (v.is_object() && v.contains("link"))))
        Expected("a link {\"link\": \"object name\"} or null", v);
      if (v.is_null()) return GeData(static_cast<const BaseList2D*>(nullptr));
      break;
    case CUSTOMDATATYPE_UNITSCALE:
      if (v.is_array() || v.is_string()) return GeData(Unit(v));
      if (!(v.is_object() && v.contains("unit"))) Expected("a length such as [8, \"cm\"]", v);
      break;
    default:
      break;
  }
  switch (v.type()) {
    case Json::value_t::null:
      return GeData();
    case Json::value_t::boolean:
      return GeData(v.get<bool>());
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: {
      const Int64 n = Integer(v, INT64_MIN, INT64_MAX, "a whole number of 64 bits");
      if (n >= INT32_MIN && n <= INT32_MAX) return GeData(static_cast<Int32>(n));
      return GeData(n);
    }
    case Json::value_t::number_float:
      return GeData(Number(v));
    case Json::value_t::string:
      return GeData(String(v.str()));
    case Json::value_t::array:
      return GeData(Vec(v));
    case Json::value_t::object:
      return SpecialValue(v, idPath, root);
    default:
      Expected("a parameter value", v);
  }
}

GeData Loader::SpecialValue(const Json& v, const std::vector<Int32>& idPath, BaseContainer* root) {
  const char* kForms =
      "{\"link\": ...}, {\"file\": ...}, {\"unit\": [8, \"cm\"]}, {\"matrix\": [...]} or "
      "{\"container\": {...}}";
  if (v.size() == 1 && v.contains("link")) {
    At a(*this, "link");
    const Json& ref = v["link"];
    if (ref.is_null()) return GeData(static_cast<const BaseList2D*>(nullptr));
    Defer(ref, LinkKind::Any,
          [this, idPath, root](BaseList2D* node) { SetNested(root, idPath, 0, node); });
    return GeData(static_cast<const BaseList2D*>(nullptr));
  }
  if (v.size() == 1 && v.contains("file")) {
    At a(*this, "file");
    return GeData(Filename(String(Text(v["file"]))));
  }
  if (v.size() == 1 && v.contains("unit")) {
    At a(*this, "unit");
    return GeData(Unit(v["unit"]));
  }
  if (v.size() == 1 && v.contains("matrix")) {
    At a(*this, "matrix");
    const Json& m = v["matrix"];
    if (!m.is_array() || m.size() != 4) Expected("[offset, v1, v2, v3] (four [x, y, z])", m);
    Vector r[4];
    for (size_t i = 0; i < 4; ++i) {
      At b(*this, Index(i));
      r[i] = Vec(m[i]);
    }
    return GeData(Matrix(r[0], r[1], r[2], r[3]));
  }
  if (v.contains("container") && (v.size() == 1 || (v.size() == 2 && v.contains("containerId")))) {
    BaseContainer bc;
    if (v.contains("containerId")) {
      At a(*this, "containerId");
      bc.SetId(Int(v["containerId"], INT32_MIN, INT32_MAX, "a container id"));
    }
    At a(*this, "container");
    LoadParams(v["container"], &bc, nullptr, {}, idPath, root);
    return GeData(bc);
  }
  Fail(std::string("expected a parameter value: true/false, a number, a text, [x, y, z], null, ") +
       kForms);
}

void Loader::SetNested(BaseContainer* bc, const std::vector<Int32>& idPath, size_t i,
                       BaseList2D* node) {
  if (i + 1 == idPath.size()) {
    bc->SetLink(idPath[i], node);
    return;
  }
  BaseContainer inner = bc->GetContainer(idPath[i]);
  SetNested(&inner, idPath, i + 1, node);
  bc->SetContainer(idPath[i], inner);
}

void Loader::RegisterId(const std::string& id, BaseList2D* node) {
  if (id.empty()) Fail("an id must not be empty");
  if (!ids_.emplace(id, node).second) Fail("the id " + QuoteForMessage(id) + " is used twice");
  RememberId(node, id);
}

void Loader::ResolveLinks() {
  std::multimap<std::string, BaseObject*> objects;
  for (BaseObject* op : mainTree_) objects.emplace(op->GetName().GetUtf8(), op);
  std::multimap<std::string, BaseMaterial*> materials;
  for (BaseMaterial* m = doc_->GetFirstMaterial(); m; m = m->GetNext())
    materials.emplace(m->GetName().GetUtf8(), m);

  for (const PendingLink& l : links_) {
    BaseList2D* target = nullptr;
    if (l.ref.is_object() && l.ref.contains("id")) {
      const std::string& id = l.ref["id"].str();
      auto it = ids_.find(id);
      if (it == ids_.end())
        FailAt(l.where, "no object or material has the id " + QuoteForMessage(id));
      target = it->second;
      if (l.kind == LinkKind::Object && !target->IsInstanceOf(Obase))
        FailAt(l.where, "the id " + QuoteForMessage(id) + " belongs to a material, not an object");
      if (l.kind == LinkKind::Material && !target->IsInstanceOf(Mbase))
        FailAt(l.where, "the id " + QuoteForMessage(id) + " belongs to an object, not a material");
    } else if (l.kind == LinkKind::Material || l.ref.is_object()) {
      const std::string& name = l.ref.is_string() ? l.ref.str() : l.ref["material"].str();
      target = Unique(materials, name, "material", l.where);
    } else {
      target = Unique(objects, name_of(l.ref), "object", l.where);
    }
    l.apply(target);
  }
}

template <typename T>
T* Loader::Unique(const std::multimap<std::string, T*>& map, const std::string& name,
                  const char* what, const std::string& where) const {
  const auto n = map.count(name);
  if (n == 0) FailAt(where, std::string("no ") + what + " is named " + QuoteForMessage(name));
  if (n > 1)
    FailAt(where, std::to_string(n) + " " + what + "s are named " + QuoteForMessage(name) +
                      "; give the one you mean an \"id\" and link to {\"id\": \"...\"}");
  return map.find(name)->second;
}

}  // namespace pmxapp::sceneload
