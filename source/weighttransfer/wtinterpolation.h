// The per-point rule of a weight transfer: find the nearest place on the source (a point, a
// point on an edge, or a point inside a polygon) and interpolate the source weights there.
#pragma once

#include "weighttransfer/wtgeometry.h"

/// The reference search: walks every source point, edge and polygon of the context.
/// Prints the sub-cell message whenever a half it takes has no containing sub-cell.
void WTFindNearestExhaustive(const WeightTransferContext& ctx, const Vector& x, NearestSource* out);

/// Values a worker reads once when it starts.
struct WTWorkerValues {
  Matrix targetMg;
  Int32 targetJointCount = 0;
  Int32 searchHint = -1;  // the index's last winner (speeds up the next, nearby point)
};
WTWorkerValues WTReadWorkerValues(const WeightTransferContext& ctx);

/// Applies the per-point rule to target point `p`: writes one weight per target joint into
/// the target tag and optionally normalises the point. Writes nothing for an empty source.
void ProcessTargetPoint(const WeightTransferContext& ctx, WTWorkerValues& worker, Int32 p);
void ProcessTargetPoint(const WeightTransferContext& ctx, Int32 p);
