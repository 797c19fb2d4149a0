// General host services: console, mouse cursor, events, memory.
#pragma once

#include "c4d_string.h"

/// Prints a line on the host console.
void GePrint(const String& str);

enum : Int32 {
  MOUSE_HIDE = 0,
  MOUSE_SHOW = 1,
  MOUSE_NORMAL = 2,
  MOUSE_BUSY = 3,
};
/// Sets the mouse cursor (MOUSE_BUSY while working, MOUSE_NORMAL afterwards).
void GeShowMouse(Int32 v);

enum EVENT : Int32 {
  EVENT_0 = 0,
  EVENT_FORCEREDRAW = 1,
  EVENT_ANIMATE = 2,
  EVENT_NOEXPRESSION = 4,
};
/// Asks the host to update (and redraw) after a change.
void EventAdd(EVENT flags = EVENT_0);
/// Posts a core message with identifier `messageid` to every open dialog.
void SpecialEventAdd(Int32 messageid, UInt64 p1 = 0, UInt64 p2 = 0);

enum : Int32 {
  DRAWFLAGS_0 = 0,
  DRAWFLAGS_NO_THREAD = 2,
  DRAWFLAGS_FORCEFULLREDRAW = 4,
};
/// Redraws the editor views.
Bool DrawViews(Int32 flags);
