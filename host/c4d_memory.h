// Host memory: arrays and objects allocated through the host, which may refuse them.
#pragma once

#include <new>
#include <utility>

#include "c4d_baseobject.h"  // DeleteMem

namespace host {
/// Asks the host for one allocation; false when the host refuses it (memory exhausted, or
/// a refusal set up with host::SetAllocationFailureAfter).
Bool MayAllocate();

template <typename T>
T* AllocMemClear(Int count) {
  if (count < 0 || !MayAllocate()) return nullptr;
  return new (std::nothrow) T[static_cast<size_t>(count)]();
}

template <typename T, typename... Args>
T* AllocObjClear(Args&&... args) {
  if (!MayAllocate()) return nullptr;
  return new (std::nothrow) T(std::forward<Args>(args)...);
}
}  // namespace host

/// `cnt` zero-initialised elements of `T`, or null; release with DeleteMem.
#define NewMemClear(T, cnt) host::AllocMemClear<T>(cnt)
/// A new `T` constructed from the remaining arguments, or null; release with DeleteObj.
#define NewObjClear(T, ...) host::AllocObjClear<T>(__VA_ARGS__)

template <typename T>
void DeleteObj(T*& p) {
  delete p;
  p = nullptr;
}
