// The weight transfer tool: copies joint weights from one polygon mesh to another.
// The tool (this header) prepares a run; the worker threads (wtthreads.h) apply the per-point
// rule (wtinterpolation.h) to every target point, searching the source through a spatial
// index (wtspatialindex.h) or, as the reference, by walking every source element; both
// searches measure with the same geometry (wtgeometry.h).
#pragma once

#include <memory>
#include <vector>

#include "ToolWeightTransfer.h"
#include "c4d.h"

// Short names of the parameters' values; the numbers are the description's
// (ToolWeightTransfer.h), the same for the source and the target side.

/// How a transferred weight is written (WTTOOL_WRITE_MODE).
enum WriteMode : Int32 {
  WRITEMODE_REPLACE = WTTOOL_WRITE_MODE_REPLACE,
  // only where the new weight exceeds 1e-10
  WRITEMODE_REPLACE_ABOVE_THRESHOLD = WTTOOL_WRITE_MODE_REPLACE_ABOVE_THRESHOLD,
  WRITEMODE_ADD = WTTOOL_WRITE_MODE_ADD,
};

/// Which weight tag a side uses (WTTOOL_SOURCE_TAG_MODE, WTTOOL_TARGET_TAG_MODE).
enum : Int32 {
  WTTAG_ACTIVE = WTTOOL_SOURCE_TAG_MODE_ACTIVE,
  WTTAG_LINK = WTTOOL_SOURCE_TAG_MODE_LINK,
};

/// Which part of a side takes part (WTTOOL_SOURCE_RANGE, WTTOOL_TARGET_RANGE).
enum : Int32 {
  WTRANGE_ALL = WTTOOL_SOURCE_RANGE_ALL,
  WTRANGE_SELECTED = WTTOOL_SOURCE_RANGE_SELECTED,
  WTRANGE_UNSELECTED = WTTOOL_SOURCE_RANGE_UNSELECTED,
  WTRANGE_SELECTION_TAG = WTTOOL_SOURCE_RANGE_SELECTION_TAG,
};

/// How the nearest source element is found (WTTOOL_SEARCH). Both give bit-identical weights.
enum : Int32 {
  WTSEARCH_INDEXED = WTTOOL_SEARCH_INDEXED,
  // the reference: every source element for every target point
  WTSEARCH_EXHAUSTIVE = WTTOOL_SEARCH_EXHAUSTIVE,
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
/// The run is the three steps below: preparing the context, indexing the source (unless
/// the settings ask for the exhaustive search) and executing.
Bool RunWeightTransfer(const WeightTransferSettings& settings);
/// Collects both sides, the source point list and the joint map into `ctx` and registers
/// the target tag for undo. False when the run ends early (nothing changed).
Bool PrepareWeightTransfer(const WeightTransferSettings& settings, WeightTransferContext* ctx);
/// Runs the threads over every target point of a prepared context (searching through its
/// index when it has one), then marks the target tag changed and asks for a redraw.
void ExecuteWeightTransfer(WeightTransferContext* ctx);

Bool RegisterWeightTransferTool();
