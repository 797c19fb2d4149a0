#include "weighttransfer/wtthreads.h"

#include "weighttransfer/wtinterpolation.h"

namespace {

void PrintStartFailure(const char* where) {
  GePrint(String("ウェイト転送：スレッドを開始できませんでした。(") + String(where) +
          String(")\n"));
}

}  // namespace

void WTControlThread::Main() {
  MPThreadPool pool;
  const Int32 n = GeGetCurrentThreadCount();
  if (n == 0) {
    GePrint(String("ウェイト転送：シングルスレッドで実行します。\n"));
    WTProcThread worker(context_);
    worker.Main();
    pool.End();
    return;
  }

  // The worker set: an array of worker pointers and the workers, all from host memory.
  C4DThread** threads = NewMemClear(C4DThread*, n);
  Bool allocated = threads != nullptr;
  for (Int32 i = 0; allocated && i < n; ++i) {
    threads[i] = NewObjClear(WTProcThread, context_);
    allocated = threads[i] != nullptr;
  }
  if (!allocated) {
    PrintStartFailure("MPAlloc::Init");
  } else if (!pool.Init(*this, n, threads)) {
    PrintStartFailure("MPThreadPool::Init");
  } else if (!pool.Start(THREADPRIORITY_NORMAL)) {
    PrintStartFailure("MPThreadPool::Start");
  } else {
    pool.Wait();
  }

  if (threads) {
    for (Int32 i = 0; i < n; ++i) {
      auto* worker = static_cast<WTProcThread*>(threads[i]);
      DeleteObj(worker);
    }
    DeleteMem(threads);
  }
  pool.End();
}

void WTProcThread::Main() {
  if (!context_) return;
  WeightTransferContext& ctx = *context_;
  WTWorkerValues values = WTReadWorkerValues(ctx);
  for (;;) {
    GeThreadLock();
    if (ctx.nextTargetPoint >= ctx.targetPoints.size()) {
      GeThreadUnlock();
      return;
    }
    const Int32 p = ctx.targetPoints[ctx.nextTargetPoint++];
    GeThreadUnlock();
    ProcessTargetPoint(ctx, values, p);
  }
}
