// Host-side controls of threads and memory for the application and the tests (plug-ins
// never include this).
#pragma once

#include <thread>

#include "ge_math.h"

namespace host {

/// The number of threads GeGetCurrentThreadCount reports; 0 makes plug-ins work in the
/// calling thread. A negative count restores the default (the machine's processor count).
void SetThreadCount(Int32 count);

/// Lets the next `count` host allocations (NewMemClear, NewObjClear) succeed and refuses
/// every later one; -1 never refuses.
void SetAllocationFailureAfter(Int64 count);
/// Makes MPThreadPool::Init fail.
void SetThreadPoolInitFailure(Bool fail);
/// Lets the next `count` asynchronous thread starts succeed and refuses later ones;
/// -1 never refuses.
void SetThreadStartFailureAfter(Int32 count);
/// Clears every refusal set up above.
void ResetThreadFaults();

/// Runs fn(begin, end) over [0, count): in two halves on two threads when `count` reaches
/// `worthAThread`, else (or when no thread can be had) in one piece here. Each half must write
/// only its own results, so that the outcome is the same either way.
template <typename Fn>
void InTwoHalves(Int64 count, Int64 worthAThread, Fn fn) {
  if (count >= worthAThread) {
    const Int64 half = count / 2;
    std::thread other;
    try {
      other = std::thread([&] { fn(half, count); });
    } catch (...) {
      fn(0, count);  // no thread, or no memory for one
      return;
    }
    fn(0, half);
    other.join();
    return;
  }
  fn(0, count);
}

}  // namespace host
