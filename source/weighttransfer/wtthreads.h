// The threads of a weight transfer run: one control thread that runs one worker per host
// thread on the host's pool; the workers take target points from the context's cursor.
#pragma once

#include "weighttransfer/weighttransfer.h"

/// Runs the whole transfer of one context; started synchronously by the tool's run.
class WTControlThread : public C4DThread {
 public:
  explicit WTControlThread(WeightTransferContext* context) : context_(context) {}
  ~WTControlThread() override = default;
  void Main() override;
  const Char* GetThreadName() override { return "WTControlThread"; }

 private:
  WeightTransferContext* context_;
};

/// Processes target points until the context's cursor reaches the end of the point set.
class WTProcThread : public C4DThread {
 public:
  explicit WTProcThread(WeightTransferContext* context) : context_(context) {}
  ~WTProcThread() override = default;
  void Main() override;
  const Char* GetThreadName() override { return "WTProcThread"; }

 private:
  WeightTransferContext* context_;
};
