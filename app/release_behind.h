// Freeing large memory on another thread. Handing hundreds of megabytes back to the system
// takes a noticeable share of a large export; the second processor does it while the first
// goes on with the job.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace pmxapp {

/// Runs `job` (which frees something no longer needed) on a worker thread, jobs in the order
/// given; at once when no thread can be had. Every job has run before the program ends.
void ReleaseBehind(std::function<void()> job);

/// The whole pages inside [data, data + bytes), by address; empty (begin == end) when there is
/// none.
struct PageSpan {
  std::uintptr_t begin = 0, end = 0;
};
PageSpan WholePagesIn(const void* data, size_t bytes) noexcept;

/// Gives the whole pages inside [data, data + bytes) back to the system, keeping the addresses:
/// reading them again gives zeros (or, in a file mapping, the file). Unlike unmapping, this lets
/// the other threads go on taking fresh pages meanwhile, so large memory is dropped this way
/// before it is freed.
void DropPages(const void* data, size_t bytes) noexcept;

/// Destroys `object` on the worker thread.
template <typename T>
void ReleaseBehind(std::unique_ptr<T> object) {
  if (!object) return;
  std::shared_ptr<T> held(std::move(object));
  ReleaseBehind([held]() mutable { held.reset(); });
}

}  // namespace pmxapp
