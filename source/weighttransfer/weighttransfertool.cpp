#include <algorithm>

#include "c4d_symbols.h"
#include "weighttransfer/weighttransfer.h"
#include "weighttransfer/wtinterpolation.h"
#include "weighttransfer/wtspatialindex.h"
#include "weighttransfer/wtthreads.h"

WeightTransferContext::WeightTransferContext() = default;
WeightTransferContext::~WeightTransferContext() = default;

namespace {

BaseTag* ChooseTag(BaseDocument* doc, Int32 choice, BaseTag* link) {
  if (!doc) return nullptr;
  switch (choice) {
    case WTTAG_ACTIVE:
      return doc->GetActiveTag();
    case WTTAG_LINK:
      return link;
    default:
      return nullptr;
  }
}

Bool IsWeightTagOnPolygonObject(const GeListNode* node) {
  if (!node || node->GetType() != Tweights) return false;
  const BaseObject* op = static_cast<const BaseTag*>(node)->GetObject();
  return op && op->GetType() == Opolygon;
}

Bool IsSelectionTag(const GeListNode* node, Bool polygonsOnly) {
  if (!node) return false;
  const Int32 type = node->GetType();
  return type == Tpolygonselection || (!polygonsOnly && type == Tpointselection);
}

/// The checks of one side (source or target) of a run.
Bool CheckSide(BaseDocument* doc, Bool surface, Int32 choice, BaseTag* link, Int32 range,
               BaseTag* selection) {
  if (!doc) return false;
  BaseTag* tag = ChooseTag(doc, choice, link);
  if (!IsWeightTagOnPolygonObject(tag)) return false;
  switch (range) {
    case WTRANGE_ALL:
    case WTRANGE_SELECTED:
    case WTRANGE_UNSELECTED:
      return true;
    case WTRANGE_SELECTION_TAG:
      return selection && selection->GetObject() == tag->GetObject() &&
             IsSelectionTag(selection, surface);
    default:
      return false;
  }
}

template <typename T>
void MakeOrderedSet(std::vector<T>* v) {
  std::sort(v->begin(), v->end());
  v->erase(std::unique(v->begin(), v->end()), v->end());
}

/// The same for indices below `count`, in linear time when they are many.
void MakeOrderedIndexSet(std::vector<Int32>* v, Int32 count) {
  const auto outside = [count](Int32 i) { return i < 0 || i >= count; };
  if (v->size() < static_cast<size_t>(count) / 8 || std::any_of(v->begin(), v->end(), outside)) {
    MakeOrderedSet(v);
    return;
  }
  std::vector<char> present(static_cast<size_t>(count), 0);
  for (Int32 i : *v) present[static_cast<size_t>(i)] = 1;
  v->clear();
  for (Int32 i = 0; i < count; ++i) {
    if (present[static_cast<size_t>(i)]) v->push_back(i);
  }
}

/// The same for edge keys between points below `count`: bucketed by the larger end (the
/// keys' order), then each short bucket sorted by the smaller end.
void MakeOrderedEdgeSet(std::vector<Int64>* v, Int32 count) {
  const auto outside = [count](Int64 key) {
    return EdgeKeyLow(key) < 0 || EdgeKeyHigh(key) >= count || EdgeKeyLow(key) > EdgeKeyHigh(key);
  };
  if (v->size() < static_cast<size_t>(count) / 8 || std::any_of(v->begin(), v->end(), outside)) {
    MakeOrderedSet(v);
    return;
  }
  std::vector<Int32> start(static_cast<size_t>(count) + 1, 0);
  for (Int64 key : *v) ++start[static_cast<size_t>(EdgeKeyHigh(key)) + 1];
  for (size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
  std::vector<Int32> low(v->size());
  std::vector<Int32> fill(start.begin(), start.end() - 1);
  for (Int64 key : *v)
    low[static_cast<size_t>(fill[static_cast<size_t>(EdgeKeyHigh(key))]++)] = EdgeKeyLow(key);
  v->clear();
  for (Int32 hi = 0; hi < count; ++hi) {
    const auto first = low.begin() + start[static_cast<size_t>(hi)];
    const auto last = low.begin() + start[static_cast<size_t>(hi) + 1];
    std::sort(first, last);
    for (auto it = first; it != last; ++it) {
      if (it == first || *it != *(it - 1)) v->push_back(MakeEdgeKey(*it, hi));
    }
  }
}

/// Index sets of one side.
struct SideSets {
  BaseObject* object = nullptr;
  CAWeightTag* tag = nullptr;
  std::vector<Int32>* points;
  std::vector<Int64>* edges;
  std::vector<Int32>* polygons;
};

/// Calls `f` for every selected index below `count`, in ascending order.
template <typename F>
void ForSelected(const BaseSelect* sel, Int32 count, F f) {
  Int32 a, b;
  for (Int32 seg = 0; sel->GetRange(seg, count, &a, &b); ++seg) {
    for (Int32 i = a < 0 ? 0 : a; i <= b; ++i) f(i);
  }
}

Bool CollectSide(BaseDocument* doc, Bool surface, Int32 choice, BaseTag* link, Int32 range,
                 BaseTag* selection, SideSets* out) {
  out->points->clear();
  out->edges->clear();
  out->polygons->clear();
  if (!CheckSide(doc, surface, choice, link, range, selection)) return false;
  auto* tag = static_cast<CAWeightTag*>(ChooseTag(doc, choice, link));
  auto* op = static_cast<PolygonObject*>(tag->GetObject());
  out->tag = tag;
  out->object = op;

  const Int32 pointCount = op->GetPointCount();
  const Int32 polygonCount = op->GetPolygonCount();
  const CPolygon* polys = op->GetPolygonR();
  const auto addPoint = [&](Int32 i) { out->points->push_back(i); };
  const auto addPolygon = [&](Int32 i) {
    const CPolygon& p = polys[i];
    // A polygon that names a point the object does not have cannot be positioned; it takes
    // no part rather than being read out of bounds.
    for (Int32 k = 0; k < 4; ++k) {
      if (p[k] < 0 || p[k] >= pointCount) return;
    }
    out->points->push_back(p.a);
    out->points->push_back(p.b);
    out->points->push_back(p.c);
    if (p.d != p.c) out->points->push_back(p.d);
    out->edges->push_back(MakeEdgeKey(p.a, p.b));
    out->edges->push_back(MakeEdgeKey(p.b, p.c));
    if (p.c == p.d) {
      out->edges->push_back(MakeEdgeKey(p.c, p.a));
    } else {
      out->edges->push_back(MakeEdgeKey(p.c, p.d));
      out->edges->push_back(MakeEdgeKey(p.d, p.a));
    }
    out->polygons->push_back(i);
  };

  switch (range) {
    case WTRANGE_ALL:
      if (surface) {
        for (Int32 i = 0; i < polygonCount; ++i) addPolygon(i);
      } else {
        for (Int32 i = 0; i < pointCount; ++i) addPoint(i);
      }
      break;
    case WTRANGE_SELECTED:
      if (surface) {
        ForSelected(op->GetPolygonS(), polygonCount, addPolygon);
      } else {
        ForSelected(op->GetPointS(), pointCount, addPoint);
      }
      break;
    case WTRANGE_UNSELECTED:
      if (surface) {
        const BaseSelect* sel = op->GetPolygonS();
        for (Int32 i = 0; i < polygonCount; ++i) {
          if (!sel->IsSelected(i)) addPolygon(i);
        }
      } else {
        const BaseSelect* sel = op->GetPointS();
        for (Int32 i = 0; i < pointCount; ++i) {
          if (!sel->IsSelected(i)) addPoint(i);
        }
      }
      break;
    case WTRANGE_SELECTION_TAG: {
      auto* st = static_cast<SelectionTag*>(selection);
      if (st->GetType() == Tpointselection) {
        ForSelected(st->GetBaseSelect(), pointCount, addPoint);
      } else {
        ForSelected(st->GetBaseSelect(), polygonCount, addPolygon);
      }
      break;
    }
    default:
      return false;
  }
  MakeOrderedIndexSet(out->points, pointCount);
  MakeOrderedEdgeSet(out->edges, pointCount);
  MakeOrderedIndexSet(out->polygons, polygonCount);
  return true;
}

}  // namespace

WeightTransferSettings WeightTransferSettings::Read(BaseDocument* doc, const BaseContainer& data) {
  const auto tagLink = [&](Int32 id) {
    return static_cast<BaseTag*>(data.GetLink(id, doc, Tbase));
  };
  WeightTransferSettings s;
  s.document = doc;
  s.writeMode = data.GetInt32(WTTOOL_WRITE_MODE);
  s.normalize = data.GetBool(WTTOOL_NORMALIZE) ? 1 : 0;
  s.addMissingJoints = data.GetBool(WTTOOL_ADD_MISSING_JOINTS) ? 1 : 0;
  s.clearUnmatched = data.GetBool(WTTOOL_CLEAR_UNMATCHED) ? 1 : 0;
  s.localCoordinates = data.GetBool(WTTOOL_LOCAL_COORDINATES) ? 1 : 0;
  s.surface = data.GetBool(WTTOOL_SURFACE) ? 1 : 0;
  s.sourceTagMode = data.GetInt32(WTTOOL_SOURCE_TAG_MODE);
  s.sourceTag = tagLink(WTTOOL_SOURCE_TAG);
  s.sourceRange = data.GetInt32(WTTOOL_SOURCE_RANGE);
  s.sourceSelection = tagLink(WTTOOL_SOURCE_SELECTION);
  s.targetTagMode = data.GetInt32(WTTOOL_TARGET_TAG_MODE);
  s.targetTag = tagLink(WTTOOL_TARGET_TAG);
  s.targetRange = data.GetInt32(WTTOOL_TARGET_RANGE);
  s.targetSelection = tagLink(WTTOOL_TARGET_SELECTION);
  s.search = data.GetInt32(WTTOOL_SEARCH);
  return s;
}

Bool CheckWeightTransferSettings(const WeightTransferSettings& s) {
  if (static_cast<UInt32>(s.writeMode) > WRITEMODE_ADD) return false;
  if (!CheckSide(s.document, s.surface != 0, s.sourceTagMode, s.sourceTag, s.sourceRange,
                 s.sourceSelection)) {
    return false;
  }
  return CheckSide(s.document, false, s.targetTagMode, s.targetTag, s.targetRange,
                   s.targetSelection);
}

Bool PrepareWeightTransfer(const WeightTransferSettings& settings, WeightTransferContext* out) {
  BaseDocument* doc = settings.document;
  WeightTransferContext& ctx = *out;
  ctx.settings = settings;

  SideSets source{nullptr, nullptr, &ctx.sourcePoints, &ctx.sourceEdges, &ctx.sourcePolygons};
  SideSets target{nullptr, nullptr, &ctx.targetPoints, &ctx.targetEdges, &ctx.targetPolygons};
  if (!CollectSide(doc, settings.surface != 0, settings.sourceTagMode, settings.sourceTag,
                   settings.sourceRange, settings.sourceSelection, &source)) {
    return false;
  }
  if (!CollectSide(doc, false, settings.targetTagMode, settings.targetTag, settings.targetRange,
                   settings.targetSelection, &target)) {
    return false;
  }
  ctx.sourceObject = source.object;
  ctx.sourceTag = source.tag;
  ctx.targetObject = target.object;
  ctx.targetTag = target.tag;

  if (!ctx.sourceObject || ctx.sourceObject->GetType() != Opolygon) return false;
  auto* sourceObject = static_cast<PolygonObject*>(ctx.sourceObject);
  const Int32 sourcePointCount = sourceObject->GetPointCount();
  const Vector* sourcePoints = sourceObject->GetPointR();
  ctx.sourceMg = sourceObject->GetMg();
  ctx.sourcePointList.reserve(ctx.sourcePoints.size());
  for (Int32 index : ctx.sourcePoints) {
    if (index < 0 || index >= sourcePointCount) continue;
    ctx.sourcePointList.push_back({index, WTSourcePosition(ctx, sourcePoints, index)});
  }

  if (!ctx.targetObject || ctx.targetObject->GetType() != Opolygon) return false;
  doc->AddUndo(UNDOTYPE_CHANGE, ctx.targetTag);

  CAWeightTag* sourceTag = ctx.sourceTag;
  CAWeightTag* targetTag = ctx.targetTag;
  const Int32 sourceJoints = sourceTag->GetJointCount();
  Int32 targetJoints = targetTag->GetJointCount();
  if (settings.addMissingJoints) {
    for (Int32 i = 0; i < sourceJoints; ++i) {
      BaseObject* joint = sourceTag->GetJoint(i, doc);
      if (!joint) continue;  // a joint that no longer exists cannot be added
      Bool present = false;
      for (Int32 t = 0; t < targetJoints && !present; ++t) {
        present = targetTag->GetJoint(t, doc) == joint;
      }
      if (!present) targetTag->AddJoint(joint);
    }
    targetJoints = targetTag->GetJointCount();
  }
  ctx.jointMap.assign(static_cast<size_t>(targetJoints), -1);
  for (Int32 t = 0; t < targetJoints; ++t) {
    BaseObject* joint = targetTag->GetJoint(t, doc);
    if (!joint) continue;  // missing joints match nothing, not each other
    for (Int32 i = 0; i < sourceJoints; ++i) {
      if (sourceTag->GetJoint(i, doc) == joint) {
        ctx.jointMap[static_cast<size_t>(t)] = i;
        break;
      }
    }
  }

  // Target indices the object does not have (a stale selection) cannot be processed.
  const Int32 targetPointCount = static_cast<PolygonObject*>(ctx.targetObject)->GetPointCount();
  std::erase_if(ctx.targetPoints, [&](Int32 i) { return i < 0 || i >= targetPointCount; });
  // The workers write different points at once; the weight arrays must not grow meanwhile.
  targetTag->ReservePoints(targetPointCount);
  if (sourceTag == targetTag) {
    ctx.sourceSnapshot.reset(
        static_cast<CAWeightTag*>(sourceTag->GetClone(COPYFLAGS_NO_HIERARCHY)));
    if (!ctx.sourceSnapshot) return false;
    ctx.sourceWeights = ctx.sourceSnapshot.get();
  } else {
    ctx.sourceWeights = sourceTag;
  }
  ctx.nextTargetPoint = 0;
  return true;
}

void ExecuteWeightTransfer(WeightTransferContext* ctx) {
  WTControlThread control(ctx);
  if (!control.Start(THREADMODE_SYNCHRONOUS, THREADPRIORITY_NORMAL)) {
    GePrint(String("ウェイト転送：スレッドを開始できませんでした。(C4DThread::Start)\n"));
  }
  ctx->targetTag->WeightDirty();
  ctx->targetTag->Message(MSG_CHANGE);
  EventAdd(EVENT_FORCEREDRAW);
}

Bool RunWeightTransfer(const WeightTransferSettings& settings) {
  WeightTransferContext ctx;
  if (!PrepareWeightTransfer(settings, &ctx)) return false;
  if (settings.search != WTSEARCH_EXHAUSTIVE) ctx.index = WeightTransferIndex::Build(ctx);
  ExecuteWeightTransfer(&ctx);
  return true;
}

void WeightTransferTool::InitDefaultSettings(BaseDocument* doc, BaseContainer& data) {
  data.SetInt32(WTTOOL_WRITE_MODE, WRITEMODE_REPLACE);
  data.SetBool(WTTOOL_NORMALIZE, true);
  data.SetBool(WTTOOL_ADD_MISSING_JOINTS, false);
  data.SetBool(WTTOOL_CLEAR_UNMATCHED, false);
  data.SetBool(WTTOOL_LOCAL_COORDINATES, false);
  data.SetBool(WTTOOL_SURFACE, true);
  data.SetInt32(WTTOOL_SOURCE_TAG_MODE, WTTAG_ACTIVE);
  data.SetLink(WTTOOL_SOURCE_TAG, nullptr);
  data.SetInt32(WTTOOL_SOURCE_RANGE, WTRANGE_ALL);
  data.SetLink(WTTOOL_SOURCE_SELECTION, nullptr);
  data.SetInt32(WTTOOL_TARGET_TAG_MODE, WTTAG_ACTIVE);
  data.SetLink(WTTOOL_TARGET_TAG, nullptr);
  data.SetInt32(WTTOOL_TARGET_RANGE, WTRANGE_ALL);
  data.SetLink(WTTOOL_TARGET_SELECTION, nullptr);
  DescriptionToolData::InitDefaultSettings(doc, data);
}

const String WeightTransferTool::GetResourceSymbol() { return String("ToolWeightTransfer"); }

Int32 WeightTransferTool::GetState(BaseDocument*) { return CMD_ENABLED; }

Bool WeightTransferTool::GetDEnabling(BaseDocument* doc, BaseContainer& data, const DescID& id,
                                      const GeData& t_data, DESCFLAGS_ENABLE flags,
                                      const BaseContainer* itemdesc) {
  switch (id.id) {
    case WTTOOL_SOURCE_TAG:
      return data.GetInt32(WTTOOL_SOURCE_TAG_MODE) == WTTAG_LINK;
    case WTTOOL_SOURCE_SELECTION:
      return data.GetInt32(WTTOOL_SOURCE_RANGE) == WTRANGE_SELECTION_TAG;
    case WTTOOL_TARGET_TAG:
      return data.GetInt32(WTTOOL_TARGET_TAG_MODE) == WTTAG_LINK;
    case WTTOOL_TARGET_SELECTION:
      return data.GetInt32(WTTOOL_TARGET_RANGE) == WTRANGE_SELECTION_TAG;
    case WTTOOL_RUN:
      return CheckWeightTransferSettings(WeightTransferSettings::Read(doc, data));
    default:
      return DescriptionToolData::GetDEnabling(doc, data, id, t_data, flags, itemdesc);
  }
}

Bool WeightTransferTool::Message(BaseDocument* doc, BaseContainer& data, Int32 type, void* t_data) {
  if (type == MSG_DESCRIPTION_CHECKDRAGANDDROP && t_data) {
    auto* dd = static_cast<DescriptionCheckDragAndDrop*>(t_data);
    switch (dd->id.id) {
      case WTTOOL_SOURCE_TAG:
      case WTTOOL_TARGET_TAG:
        dd->result = IsWeightTagOnPolygonObject(dd->element);
        break;
      case WTTOOL_SOURCE_SELECTION:
      case WTTOOL_TARGET_SELECTION:
        // Whether the selection sits on the weight tag's object is left to the run check.
        dd->result = IsSelectionTag(dd->element, false);
        break;
      default:
        break;
    }
  } else if (type == MSG_DESCRIPTION_COMMAND && t_data) {
    auto* dc = static_cast<DescriptionCommand*>(t_data);
    if (dc->id.id == WTTOOL_RUN) {
      const WeightTransferSettings settings = WeightTransferSettings::Read(doc, data);
      if (CheckWeightTransferSettings(settings)) {
        GeShowMouse(MOUSE_BUSY);
        doc->StartUndo();
        RunWeightTransfer(settings);
        doc->EndUndo();
        GeShowMouse(MOUSE_NORMAL);
      }
    }
  }
  return DescriptionToolData::Message(doc, data, type, t_data);
}

Int32 WeightTransferTool::GetToolPluginId() { return ID_WEIGHT_TRANSFER_TOOL; }

Bool RegisterWeightTransferTool() {
  const String name = GeLoadString(IDS_WEIGHT_TRANSFER);
  return RegisterToolPlugin(ID_WEIGHT_TRANSFER_TOOL, name, 0,
                            AutoBitmap(String("Weight_Transfer.png")), name,
                            new WeightTransferTool);
}
