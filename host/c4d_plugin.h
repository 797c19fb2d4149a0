// Plug-in registration, commands, icons and the module's resources.
#pragma once

#include "c4d_basedocument.h"
#include "c4d_nodedata.h"

// Actions of the module entry c4d_main. C4DPL_INIT_SYS also reaches PluginMessage, after
// C4DMSG_PRIORITY: the module loads its resources there, before any plug-in registers.
constexpr Int32 C4DPL_INIT_SYS = 1;
constexpr Int32 C4DPL_INIT = 2;
constexpr Int32 C4DPL_END = 3;
constexpr Int32 C4DPL_MESSAGE = 4;
constexpr Int32 C4DPL_ERROR = 0;
constexpr Int32 C4DPL_ERROR_VERSION = -3;
constexpr Int32 C4DMSG_PRIORITY = 0;
/// Lowest plug-in interface version the module accepts.
constexpr Int32 C4D_API_VERSION_MIN = 15000;

// Plug-in info flags.
constexpr Int32 PLUGINFLAG_HIDE = 1 << 29;
constexpr Int32 TAG_VISIBLE = 1;
constexpr Int32 TAG_MULTIPLE = 8;

// Command states.
constexpr Int32 CMD_ENABLED = 0x40000000;
constexpr Int32 CMD_VALUE = 0x3fffffff;

enum class PLUGINTYPE : Int32 {
  SCENESAVER = 1,
  OBJECT = 2,
  TAG = 3,
  COMMAND = 4,
  SCENEHOOK = 5,
  TOOL = 6,
};

/// An image the host loads from the module's resource folder (icons).
class BaseBitmap {
 public:
  static BaseBitmap* Alloc() { return new BaseBitmap; }
  static void Free(BaseBitmap*& b) {
    delete b;
    b = nullptr;
  }
  /// Loads the image; answers whether the file exists (IMAGERESULT_OK = 1).
  Int32 Init(const Filename& name);
  Filename GetFilename() const { return name_; }

 private:
  Filename name_;
};

class CommandData {
 public:
  CommandData() = default;
  CommandData(const CommandData&) = delete;
  CommandData& operator=(const CommandData&) = delete;
  virtual ~CommandData() = default;
  virtual Bool Execute(BaseDocument* doc);
  virtual Bool ExecuteSubID(BaseDocument* doc, Int32 subid);
  virtual Bool ExecuteOptionID(BaseDocument* doc, Int32 plugid, Int32 subid);
  virtual Int32 GetState(BaseDocument* doc);
  virtual Bool RestoreLayout(void* secret);
  virtual Bool Message(Int32 type, void* data);
};

class ToolData;

/// The saver node the host hands to SceneSaverData::Save (it holds the saver's settings).
class BaseSceneSaver : public BaseList2D {
 public:
  explicit BaseSceneSaver(Int32 id) : id_(id) {}
  Int32 GetType() const override { return id_; }
  BaseList2D* AllocSame() const override { return new BaseSceneSaver(id_); }

 private:
  Int32 id_;
};

/// A scene hook's node in a document.
class BaseSceneHook : public BaseList2D {
 public:
  explicit BaseSceneHook(Int32 id) : id_(id) {}
  Int32 GetType() const override { return id_; }
  BaseList2D* AllocSame() const override { return new BaseSceneHook(id_); }

 private:
  Int32 id_;
};

Bool RegisterSceneSaverPlugin(Int32 id, const String& str, Int32 info, DataAllocator* g,
                              const String& description, const String& suffix,
                              void* emulation = nullptr);
Bool RegisterObjectPlugin(Int32 id, const String& str, Int32 info, DataAllocator* g,
                          const String& description, BaseBitmap* icon, Int32 disklevel);
Bool RegisterTagPlugin(Int32 id, const String& str, Int32 info, DataAllocator* g,
                       const String& description, BaseBitmap* icon, Int32 disklevel);
/// The host takes ownership of `dat` (also when the registration is refused).
Bool RegisterCommandPlugin(Int32 id, const String& str, Int32 info, BaseBitmap* icon,
                           const String& help, CommandData* dat);
Bool RegisterSceneHookPlugin(Int32 id, const String& str, Int32 info, DataAllocator* g,
                             Int32 priority, Int32 disklevel, void* emulation = nullptr);
/// The host takes ownership of `dat` (also when the registration is refused).
Bool RegisterToolPlugin(Int32 id, const String& str, Int32 info, BaseBitmap* icon,
                        const String& help, ToolData* dat);

/// The module's string table and the resource folder it was loaded from.
class GeResource {
 public:
  /// Loads the string table of the module's resource folder.
  Bool Init();
  Bool Init(const Filename& path);
  String LoadString(Int32 id) const;
  Filename GetResourcePath() const { return path_; }
  Bool IsLoaded() const { return loaded_; }

 private:
  Filename path_;
  Bool loaded_ = false;
};

/// The calling module's resources (one per module, defined by the module's entry glue).
extern GeResource resource;
/// A string of the module's string table (empty when missing).
String GeLoadString(Int32 id);
/// Folder of the calling module.
Filename GeGetPluginPath();
/// An image of the calling module's resource folder (an icon), loaded once and owned by the
/// host: callers never free it. Null when the image cannot be loaded.
BaseBitmap* AutoBitmap(const String& name);

// Implemented by the module.
Bool PluginStart();
void PluginEnd();
Bool PluginMessage(Int32 id, void* data);
