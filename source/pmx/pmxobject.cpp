#include "pmx/pmxobject.h"

void PmxPolygonExchangeObject::ResetVertices(Int64 pointCount, Int64 vertexReserve) {
  vertices_.clear();
  nextOfSamePoint_.clear();
  vertices_.reserve(static_cast<size_t>(vertexReserve));
  nextOfSamePoint_.reserve(static_cast<size_t>(vertexReserve));
  firstOfPoint_.assign(static_cast<size_t>(pointCount), -1);
  lastOfPoint_.assign(static_cast<size_t>(pointCount), -1);
}

PmxObjectVertex& PmxPolygonExchangeObject::AppendVertex(const PmxObjectVertex& v) {
  const Int64 index = static_cast<Int64>(vertices_.size());
  const auto p = static_cast<size_t>(v.pointIndex);
  vertices_.push_back(v);
  vertices_.back().localIndex = index;
  nextOfSamePoint_.push_back(-1);
  if (lastOfPoint_[p] < 0) {
    firstOfPoint_[p] = index;
  } else {
    nextOfSamePoint_[static_cast<size_t>(lastOfPoint_[p])] = index;
  }
  lastOfPoint_[p] = index;
  return vertices_.back();
}
