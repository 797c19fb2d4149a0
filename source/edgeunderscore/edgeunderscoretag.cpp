#include "edgeunderscore/edgeunderscoretag.h"

namespace {

// 255, 139, 139 on the colour picker's scale; blue is kept as the picker stores it, in single
// precision, so that a new tag equals one whose colour was picked by hand.
constexpr Vector kDefaultColor(1.0, 0.5450980392156862, 0.545098066329956);

}  // namespace

Bool EdgeUnderscoreTag::Init(GeListNode* node) {
  auto* tag = static_cast<BaseList2D*>(node);
  BaseContainer* bc = tag ? tag->GetDataInstance() : nullptr;
  if (!bc) return false;
  bc->SetBool(EDGE_UNDERSCORE_DRAW, true);
  bc->SetVector(EDGE_UNDERSCORE_COLOR, kDefaultColor);
  bc->SetString(EDGE_UNDERSCORE_SELECTION_NAME, String());
  return true;
}

Bool EdgeUnderscoreTag::Message(GeListNode* node, Int32 type, void* data) {
  return TagData::Message(node, type, data);
}

Bool EdgeUnderscoreTag::GetDescription(GeListNode* node, Description* description,
                                       DESCFLAGS_DESC& flags) {
  return TagData::GetDescription(node, description, flags);
}

EXECUTIONRESULT EdgeUnderscoreTag::Execute(BaseTag*, BaseDocument*, BaseObject*, BaseThread*, Int32,
                                           EXECUTIONFLAGS) {
  return EXECUTIONRESULT_OK;
}

BaseSelect* EdgeUnderscoreTag::GetUnderscoreSelection() const {
  auto* tag = static_cast<BaseTag*>(Get());
  BaseObject* op = tag ? tag->GetObject() : nullptr;
  if (!op || op->GetType() != Opolygon) return nullptr;
  // The selection name (EDGE_UNDERSCORE_SELECTION_NAME) is only stored: the first edge
  // selection of the object is drawn, whatever the name says.
  for (BaseTag* t = op->GetFirstTag(); t; t = t->GetNext()) {
    if (t->GetType() != Tedgeselection) continue;
    auto* selection = dynamic_cast<SelectionTag*>(t);
    return selection ? selection->GetBaseSelect() : nullptr;
  }
  return nullptr;
}

Bool RegisterEdgeUnderscoreTag() {
  return RegisterTagPlugin(ID_EDGE_UNDERSCORE_TAG, String("Edge underscore"), TAG_VISIBLE,
                           EdgeUnderscoreTag::Alloc, String("TEdgeUnderscore"),
                           AutoBitmap(String("edge_underscore.png")), 0);
}
