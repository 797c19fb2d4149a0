// Plug-in data classes: what a plug-in derives from to give a node its behaviour.
#pragma once

#include "c4d_baselist.h"

class BaseObject;
class BaseTag;
class BaseDocument;
class BaseDraw;
class BaseDrawHelp;
class BaseThread;
class Description;
class HierarchyHelp;
class BaseSceneSaver;
class BaseSceneHook;

enum DESCFLAGS_DESC : Int32 {
  DESCFLAGS_DESC_0 = 0,
  DESCFLAGS_DESC_RESOLVEMULTIPLEDATA = 1,
  DESCFLAGS_DESC_LOADED = 2,
  DESCFLAGS_DESC_RECURSIONLOCK = 4,
  DESCFLAGS_DESC_DONTLOADDEFAULT = 8,
  DESCFLAGS_DESC_MAPTAGS = 16,
  DESCFLAGS_DESC_NEEDDEFAULTVALUE = 32,
};
inline DESCFLAGS_DESC operator|(DESCFLAGS_DESC a, DESCFLAGS_DESC b) {
  return static_cast<DESCFLAGS_DESC>(static_cast<Int32>(a) | static_cast<Int32>(b));
}
enum DESCFLAGS_ENABLE : Int32 { DESCFLAGS_ENABLE_0 = 0 };

enum EXECUTIONRESULT : Int32 {
  EXECUTIONRESULT_OK = 0,
  EXECUTIONRESULT_USERBREAK = 1,
  EXECUTIONRESULT_OUTOFMEMORY = 2,
};
enum EXECUTIONFLAGS : Int32 { EXECUTIONFLAGS_0 = 0 };

enum SCENEFILTER : Int32 {
  SCENEFILTER_0 = 0,
  SCENEFILTER_OBJECTS = 1,
  SCENEFILTER_MATERIALS = 2,
  SCENEFILTER_DIALOGSALLOWED = 8,
  SCENEFILTER_PROGRESSALLOWED = 16,
};
inline SCENEFILTER operator|(SCENEFILTER a, SCENEFILTER b) {
  return static_cast<SCENEFILTER>(static_cast<Int32>(a) | static_cast<Int32>(b));
}

enum FILEERROR : Int32 {
  FILEERROR_NONE = 0,
  FILEERROR_OPEN = -1,
  FILEERROR_CLOSE = -2,
  FILEERROR_READ = -3,
  FILEERROR_WRITE = -4,
  FILEERROR_SEEK = -5,
  FILEERROR_INVALID = -6,
  FILEERROR_OUTOFMEMORY = -7,
  FILEERROR_USERBREAK = -8,
  FILEERROR_WRONG_VALUE = 1,
  FILEERROR_UNKNOWN_VALUE = 2,
};

/// Base of every plug-in class whose instances belong to a node.
class NodeData {
 public:
  NodeData() = default;
  NodeData(const NodeData&) = delete;
  NodeData& operator=(const NodeData&) = delete;
  virtual ~NodeData() = default;

  virtual Bool Init(GeListNode* node);
  virtual void Free(GeListNode* node);
  virtual Bool Message(GeListNode* node, Int32 type, void* data);
  virtual Bool CopyTo(NodeData* dest, GeListNode* snode, GeListNode* dnode, COPYFLAGS flags,
                      void* trn);
  /// The base implementation loads the description resource registered for the node's type.
  virtual Bool GetDescription(GeListNode* node, Description* description, DESCFLAGS_DESC& flags);
  virtual Bool GetDEnabling(GeListNode* node, const DescID& id, const GeData& t_data,
                            DESCFLAGS_ENABLE flags, const BaseContainer* itemdesc);

  /// The node this instance belongs to (set by the host when it creates the node).
  GeListNode* Get() const { return node_; }
  void SetNodeInternal(GeListNode* node) { node_ = node; }

 private:
  GeListNode* node_ = nullptr;
};

using DataAllocator = NodeData*();

class ObjectData : public NodeData {
 public:
  virtual BaseObject* GetVirtualObjects(BaseObject* op, HierarchyHelp* hh);
  virtual EXECUTIONRESULT Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                  EXECUTIONFLAGS flags);
};

class TagData : public NodeData {
 public:
  virtual Bool Draw(BaseTag* tag, BaseObject* op, BaseDraw* bd, BaseDrawHelp* bh);
  virtual EXECUTIONRESULT Execute(BaseTag* tag, BaseDocument* doc, BaseObject* op, BaseThread* bt,
                                  Int32 priority, EXECUTIONFLAGS flags);
};

class SceneSaverData : public NodeData {
 public:
  virtual FILEERROR Save(BaseSceneSaver* node, const Filename& name, BaseDocument* doc,
                         SCENEFILTER filterflags);
};

class SceneHookData : public NodeData {
 public:
  virtual Bool Draw(BaseSceneHook* node, BaseDocument* doc, BaseDraw* bd, BaseDrawHelp* bh,
                    BaseThread* bt, Int32 flags);
};
