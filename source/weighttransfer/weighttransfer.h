// The weight transfer tool: copies joint weights from one polygon mesh to another.
// The tool (this header) prepares a run; the worker threads (wtthreads.h) apply the per-point
// rule (wtinterpolation.h) to every target point, searching the source through a spatial
// index (wtspatialindex.h) or, as the reference, by walking every source element.
#pragma once

#include <memory>
#include <vector>

#include "c4d.h"

/// Plug-in id of the weight transfer tool.
constexpr Int32 ID_WEIGHT_TRANSFER_TOOL = 1039811;
/// Resource string of the tool's name and help.
constexpr Int32 IDS_WEIGHT_TRANSFER_NAME = 10010;

// Parameters of the tool (description ToolWeightTransfer).
enum : Int32 {
  WTTOOL_WRITE_MODE = 1000,
  WTTOOL_NORMALIZE = 1001,
  WTTOOL_ADD_MISSING_JOINTS = 1002,
  WTTOOL_CLEAR_UNMATCHED = 1003,
  WTTOOL_LOCAL_COORDINATES = 1004,
  WTTOOL_SURFACE = 1005,
  WTTOOL_SEARCH = 1006,
  WTTOOL_SOURCE_TAG_MODE = 1101,
  WTTOOL_SOURCE_TAG = 1102,
  WTTOOL_SOURCE_RANGE = 1103,
  WTTOOL_SOURCE_SELECTION = 1104,
  WTTOOL_TARGET_TAG_MODE = 1201,
  WTTOOL_TARGET_TAG = 1202,
  WTTOOL_TARGET_RANGE = 1203,
  WTTOOL_TARGET_SELECTION = 1204,
  WTTOOL_RUN = 2000,
};

/// How a transferred weight is written (parameter 1000).
enum WriteMode : Int32 {
  WRITEMODE_REPLACE = 0,
  WRITEMODE_REPLACE_ABOVE_THRESHOLD = 1,  // only where the new weight exceeds 1e-10
  WRITEMODE_ADD = 2,
};

/// Which weight tag a side uses (1101, 1201).
enum : Int32 {
  WTTAG_ACTIVE = 0,
  WTTAG_LINK = 1,
};

/// Which part of a side takes part (1103, 1203).
enum : Int32 {
  WTRANGE_ALL = 0,
  WTRANGE_SELECTED = 1,
  WTRANGE_UNSELECTED = 2,
  WTRANGE_SELECTION_TAG = 3,
};

/// How the nearest source element is found (1006). Both give bit-identical weights.
enum : Int32 {
  WTSEARCH_INDEXED = 0,
  WTSEARCH_EXHAUSTIVE = 1,  // the reference: every source element for every target point
};

/// The tool's settings as read at the start of a check or a run.
struct WeightTransferSettings {
  BaseDocument* document = nullptr;
  Int32 writeMode = WRITEMODE_REPLACE;
  Int32 normalize = 1;
  Int32 addMissingJoints = 0;
  Int32 clearUnmatched = 0;
  Int32 localCoordinates = 0;
  Int32 surface = 1;
  Int32 sourceTagMode = WTTAG_ACTIVE;
  BaseTag* sourceTag = nullptr;
  Int32 sourceRange = WTRANGE_ALL;
  BaseTag* sourceSelection = nullptr;
  Int32 targetTagMode = WTTAG_ACTIVE;
  BaseTag* targetTag = nullptr;
  Int32 targetRange = WTRANGE_ALL;
  BaseTag* targetSelection = nullptr;
  Int32 search = WTSEARCH_INDEXED;

  /// Reads the settings container; links are resolved against `doc`.
  static WeightTransferSettings Read(BaseDocument* doc, const BaseContainer& data);
};

/// One source point with the position used for distances (world, or local with 1004).
struct SourcePointEntry {
  Int32 index;
  Vector position;
};

/// Edge key: low 32 bits the smaller point index, high 32 bits the larger.
inline Int64 MakeEdgeKey(Int32 p, Int32 q) {
  const Int32 lo = p < q ? p : q;
  const Int32 hi = p < q ? q : p;
  return static_cast<Int64>((static_cast<UInt64>(static_cast<UInt32>(hi)) << 32) |
                            static_cast<UInt32>(lo));
}
inline Int32 EdgeKeyLow(Int64 key) {
  return static_cast<Int32>(static_cast<UInt32>(static_cast<UInt64>(key) & 0xffffffffu));
}
inline Int32 EdgeKeyHigh(Int64 key) {
  return static_cast<Int32>(static_cast<UInt32>(static_cast<UInt64>(key) >> 32));
}

class WeightTransferIndex;

/// One run of the tool. The index sets are ordered sets: sorted, without duplicates.
struct WeightTransferContext {
  WeightTransferSettings settings;

  BaseObject* sourceObject = nullptr;
  CAWeightTag* sourceTag = nullptr;
  std::vector<Int32> sourcePoints;
  std::vector<Int64> sourceEdges;
  std::vector<Int32> sourcePolygons;

  BaseObject* targetObject = nullptr;
  CAWeightTag* targetTag = nullptr;
  std::vector<Int32> targetPoints;
  std::vector<Int64> targetEdges;
  std::vector<Int32> targetPolygons;

  std::vector<SourcePointEntry> sourcePointList;
  std::vector<Int32> jointMap;
  /// Position in targetPoints of the next point to hand out (taken under GeThreadLock).
  size_t nextTargetPoint = 0;

  /// The source object's global matrix, read once for the run.
  Matrix sourceMg;
  /// The weights every point reads. When source and target are the same tag this is a copy
  /// taken before the run, so that no point reads weights another point has rewritten.
  const CAWeightTag* sourceWeights = nullptr;
  std::unique_ptr<CAWeightTag> sourceSnapshot;
  /// The source elements in a spatial index (null: walk them all).
  std::unique_ptr<WeightTransferIndex> index;

  WeightTransferContext();
  ~WeightTransferContext();
};

class WeightTransferTool : public DescriptionToolData {
 public:
  void InitDefaultSettings(BaseDocument* doc, BaseContainer& data) override;
  const String GetResourceSymbol() override;
  Int32 GetState(BaseDocument* doc) override;
  Bool GetDEnabling(BaseDocument* doc, BaseContainer& data, const DescID& id, const GeData& t_data,
                    DESCFLAGS_ENABLE flags, const BaseContainer* itemdesc) override;
  Bool Message(BaseDocument* doc, BaseContainer& data, Int32 type, void* t_data) override;
  Int32 GetToolPluginId() override;
};

/// Whether a run with these settings can start (the button's enabling).
Bool CheckWeightTransferSettings(const WeightTransferSettings& settings);
/// Performs one run (inside the caller's undo bracket). False when the run ended early.
Bool RunWeightTransfer(const WeightTransferSettings& settings);

Bool RegisterWeightTransferTool();
