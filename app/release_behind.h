// Freeing large memory on another thread. Handing hundreds of megabytes back to the system
// takes a noticeable share of a large export; the second processor does it while the first
// goes on with the job.
#pragma once

#include <functional>
#include <memory>

namespace pmxapp {

/// Runs `job` (which frees something no longer needed) on a worker thread, jobs in the order
/// given; at once when no thread can be had. Every job has run before the program ends.
void ReleaseBehind(std::function<void()> job);

/// Destroys `object` on the worker thread.
template <typename T>
void ReleaseBehind(std::unique_ptr<T> object) {
  if (!object) return;
  std::shared_ptr<T> held(std::move(object));
  ReleaseBehind([held]() mutable { held.reset(); });
}

}  // namespace pmxapp
