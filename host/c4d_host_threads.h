// Host-side controls of threads and memory for the application and the tests (plug-ins
// never include this).
#pragma once

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

}  // namespace host
