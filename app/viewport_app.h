// What the viewport sub-commands (draw, command, dialog) share: a scene loaded as the document
// a person works in, "ID=VALUE" settings, and values typed the way the target keeps them.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "c4d.h"
#include "c4d_host.h"
#include "cli.h"

namespace pmxapp {

/// Starts the host and loads `path` as the active document, evaluated as the editor shows it.
/// On failure reports through `cli` and answers null.
std::unique_ptr<BaseDocument> LoadActiveScene(const CommandLine& cli, const std::string& path);

/// Splits "ID=VALUE"; false when there is no '=' or ID is not a whole number.
bool SplitSetting(const std::string& text, Int32* id, std::string* value);

/// VALUE as a value of `type`: DA_LONG takes on/off/true/false or a whole number, DA_REAL
/// a number, DA_VECTOR "r,g,b". Nothing when it does not fit.
std::optional<GeData> ValueOfType(const std::string& text, Int32 type);

/// A value as a person reads it: on/off for flags, numbers, "r, g, b" for colours.
std::string ShowValue(const GeData& value, bool flag);

/// The registered command named by the plug-in id `text`; reports through `cli` (listing
/// the commands there are) and answers null otherwise.
const host::PluginInfo* FindCommand(const CommandLine& cli, const std::string& text);

/// Writes `text` to `path`, replacing it only once the whole text is written.
bool WriteTextFile(const std::string& path, const std::string& text, std::string* error);

}  // namespace pmxapp
