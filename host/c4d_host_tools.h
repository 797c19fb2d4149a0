// Host-side use of command and tool plug-ins, as the host's menus and attribute manager
// would use them. For the application and the tests (plug-ins never include this).
#pragma once

#include "c4d_tooldata.h"

namespace host {

/// The registered command `id`'s state in `doc` (CMD_ENABLED ...), or 0 when not registered.
Int32 GetCommandState(Int32 id, BaseDocument* doc);
/// Runs command `id` on `doc` as its menu entry would; false when not registered or refused.
Bool ExecuteCommand(Int32 id, BaseDocument* doc);

/// The registered description tool `id`, or null.
DescriptionToolData* FindDescriptionTool(Int32 id);
/// The host's settings container of tool `id`; on first use it is filled by the tool's
/// InitDefaultSettings. Null when `id` is not a registered description tool.
BaseContainer* GetToolSettings(Int32 id, BaseDocument* doc);
/// Whether the attribute manager shows parameter `paramId` of tool `id` enabled.
Bool IsToolParameterEnabled(Int32 id, BaseDocument* doc, Int32 paramId);
/// Whether the tool accepts `element` dropped on its link parameter `paramId`.
Bool CanDropOnToolParameter(Int32 id, BaseDocument* doc, Int32 paramId, GeListNode* element);
/// Presses the tool's button `buttonId` as the attribute manager would (a disabled button
/// cannot be pressed: answers false without calling the tool).
Bool PressToolButton(Int32 id, BaseDocument* doc, Int32 buttonId);

}  // namespace host
