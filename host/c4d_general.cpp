#include "c4d_general.h"

#include <mutex>

#include "c4d_host.h"

namespace {
std::mutex gRecordMutex;
bool gChangePending = false;
std::function<void(const String&)>& Listener() {
  static std::function<void(const String&)> listener;
  return listener;
}
}  // namespace

namespace host {

Records& GetRecords() {
  static Records records;
  return records;
}

std::vector<String> ConsoleLines() {
  std::lock_guard<std::mutex> lock(gRecordMutex);
  return GetRecords().console;
}

void ClearRecords() {
  std::lock_guard<std::mutex> lock(gRecordMutex);
  GetRecords() = Records();
  gChangePending = false;
}

Bool TakePendingChange() {
  std::lock_guard<std::mutex> lock(gRecordMutex);
  const bool pending = gChangePending;
  gChangePending = false;
  return pending;
}

void SetConsoleListener(std::function<void(const String&)> listener) {
  std::lock_guard<std::mutex> lock(gRecordMutex);
  Listener() = std::move(listener);
}

}  // namespace host

void GePrint(const String& str) {
  std::lock_guard<std::mutex> lock(gRecordMutex);
  host::GetRecords().console.push_back(str);
  if (Listener()) Listener()(str);
}

void GeShowMouse(Int32 v) {
  std::lock_guard<std::mutex> lock(gRecordMutex);
  host::GetRecords().mouse.push_back(v);
}

void EventAdd(EVENT flags) {
  std::lock_guard<std::mutex> lock(gRecordMutex);
  host::GetRecords().events.push_back(flags);
  gChangePending = true;
}

void SpecialEventAdd(Int32 messageid, UInt64 p1, UInt64 p2) {
  {
    std::lock_guard<std::mutex> lock(gRecordMutex);
    host::GetRecords().specialEvents.emplace_back(messageid, p1);
  }
  host::SendCoreMessage(messageid, p1, p2);
}

Bool DrawViews(Int32 flags) {
  std::lock_guard<std::mutex> lock(gRecordMutex);
  host::GetRecords().drawViews.push_back(flags);
  return true;
}
