// The headless host itself: loading modules, the plug-in registry, and the records of what
// a person would have seen. Used by the application and the tests, never by plug-ins.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "c4d_plugin.h"

class ToolData;
class CAWeightTag;
class GeDialog;

namespace host {

/// One registered plug-in.
struct PluginInfo {
  Int32 id = 0;
  PLUGINTYPE type = PLUGINTYPE::COMMAND;
  String name;
  Int32 info = 0;
  DataAllocator* allocator = nullptr;
  String description;  // description resource name
  String suffix;       // scene savers
  String help;
  Filename icon;
  Int32 priority = 0;              // scene hooks
  Filename resourcePath;           // the registering module's resource folder
  CommandData* command = nullptr;  // owned by the host
  ToolData* tool = nullptr;        // owned by the host
};

/// Plug-ins in registration order.
const std::vector<PluginInfo>& Plugins();
const PluginInfo* FindPlugin(Int32 id);
/// Makes the host refuse registrations of `id` (for testing a module's start-up).
void RefuseRegistration(Int32 id);
/// Clears the registry and every refusal (frees command and tool instances).
void ResetRegistry();

/// The plug-in interface version the host reports to modules (15000 = R15).
void SetApiVersion(Int32 version);
Int32 GetApiVersion();

struct LoadedModule {
  std::string path;
  void* handle = nullptr;
  Int32 (*entry)(Int32, void*, void*, void*) = nullptr;
  Bool started = false;
};
/// Loads one module with the operating system's loader, checks its version, initialises its
/// resources and starts it. On failure answers false and describes why in `error`.
Bool LoadModule(const std::string& path, std::string* error);
/// Loads every module (*.cdl64) found in the sub-folders of `dir`.
Bool LoadPlugins(const std::string& dir, std::string* error);
/// Sends the modules' End and unloads them.
void UnloadModules();
const std::vector<LoadedModule>& Modules();
/// Resource folder of the module currently being started (empty outside start-up).
Filename CurrentModuleResourcePath();
void SetCurrentModuleResourcePath(const Filename& path);

/// What a person would have seen.
struct Records {
  std::vector<String> console;                          // GePrint lines, as printed
  std::vector<Int32> mouse;                             // GeShowMouse calls
  std::vector<Int32> events;                            // EventAdd flags
  std::vector<std::pair<Int32, UInt64>> specialEvents;  // SpecialEventAdd (id, p1)
  std::vector<String> errorDialogs;                     // dialogs the host showed on errors
  std::vector<Int32> drawViews;                         // DrawViews calls: their flags
};
Records& GetRecords();
/// Copy of the console lines (safe while threads print).
std::vector<String> ConsoleLines();
void ClearRecords();
/// Called for every console line as it is printed (the application prints them).
void SetConsoleListener(std::function<void(const String&)> listener);

/// Creates a saver node of plug-in `id` with its plug-in instance, its Init run and the
/// default values of its description; null when `id` is not a registered saver.
BaseSceneSaver* AllocSceneSaver(Int32 id);
/// Finds the scene saver registered for a file suffix ("pmx").
const PluginInfo* FindSaverBySuffix(const String& suffix);
/// Exports `doc` through the saver node as the host does on File > Export.
FILEERROR SaveDocument(BaseSceneSaver* saver, BaseDocument* doc, const Filename& name,
                       SCENEFILTER filter = SCENEFILTER_OBJECTS | SCENEFILTER_MATERIALS);

/// Makes every file write fail once `bytes` bytes have been written (-1: never).
void SetWriteFailureAfter(Int64 bytes);
Int64 GetWriteFailureAfter();

/// Whether the editor draws `op`: not when a generator uses it as an input (it carries
/// BIT_CONTROLOBJECT after the evaluation), nor when its editor visibility, or the nearest
/// one set above it, is off.
Bool IsVisibleInEditor(const BaseObject* op);
/// Whether BaseDocument::ExecutePasses builds the cache of `op` (a plug-in generator): such
/// a cache and the marks on the generator's inputs are results, not part of the scene.
Bool IsEvaluatedGenerator(const BaseObject* op);

/// Open dialogs, in the order they were opened.
std::vector<GeDialog*> OpenDialogs();
/// The open dialog opened under plug-in id `pluginid`, or null.
GeDialog* FindOpenDialog(Int32 pluginid);
/// Sends the core message `id` to every open dialog (CoreMessage), each message with a new
/// BFM_CORE_UNIQUEID so that CheckCoreMessage can tell it from one already seen, and its
/// parameters under BFM_CORE_PAR1 and BFM_CORE_PAR2.
void SendCoreMessage(Int32 id, UInt64 p1 = 0, UInt64 p2 = 0);
/// While held (calls nest), core messages wait and are sent, in order, when the last hold is
/// released: the host's main loop delivers what a document's evaluation posts once it is done.
void HoldCoreMessages();
void ReleaseCoreMessages();
/// Whether EventAdd was called since the last time this was asked (ClearRecords forgets it).
Bool TakePendingChange();

/// Gives the keyboard focus to the window of `dlg` (null: to no dialog, as when a person
/// clicks into a view): the window that had it hears BFM_LOST_FOCUS, the new one
/// BFM_GOT_FOCUS, through Message. A dialog that closes loses the focus the same way.
void FocusDialog(GeDialog* dlg);
/// The dialog whose window has the focus, or null.
GeDialog* FocusedDialog();

/// Redraws every view of `doc` as the host does after an update: evaluates the document
/// (delivering the core messages that the evaluation posted once it is done), tells the open
/// dialogs (EVMSG_DOCUMENTRECALCULATED, then EVMSG_CHANGE when EventAdd was called), then, view by
/// view, forgets the calls of the last redraw and calls the Draw of every scene hook of the
/// document in the normal draw pass, higher priority first (equal priorities in registration
/// order). The calls stay with each view (BaseDraw::GetCalls).
void RedrawDocument(BaseDocument* doc);

/// Fills `bc` with the DEFAULT values of a description resource.
void ApplyDescriptionDefaults(const String& descriptionName, BaseContainer* bc);

/// Appends joint `op` to `tag` with its weight for every point, taking the list over rather
/// than writing it again weight by weight (a scene loader's large meshes). The list must
/// cover the tag's points (CAWeightTag::ReservePoints). Answers the joint's index, or NOTOK
/// (no joint, a list of another length, or a joint the tag already has).
Int32 AddJointWithWeights(CAWeightTag* tag, BaseObject* op, std::vector<Float>&& weights);

}  // namespace host
