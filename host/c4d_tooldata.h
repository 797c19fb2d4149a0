// Tool plug-ins: tools whose settings live in a container shown by the attribute manager.
#pragma once

#include "c4d_basedocument.h"
#include "c4d_nodedata.h"

class BaseThread;

class ToolData {
 public:
  ToolData() = default;
  ToolData(const ToolData&) = delete;
  ToolData& operator=(const ToolData&) = delete;
  virtual ~ToolData() = default;
  virtual Bool InitTool(BaseDocument* doc, BaseContainer& data, BaseThread* bt);
  virtual void FreeTool(BaseDocument* doc, BaseContainer& data);
  virtual void InitDefaultSettings(BaseDocument* doc, BaseContainer& data);
  virtual Int32 GetState(BaseDocument* doc);
  virtual Bool Message(BaseDocument* doc, BaseContainer& data, Int32 type, void* t_data);
  virtual Bool GetDEnabling(BaseDocument* doc, BaseContainer& data, const DescID& id,
                            const GeData& t_data, DESCFLAGS_ENABLE flags,
                            const BaseContainer* itemdesc);
};

/// A tool described by a description resource; the host keeps its settings container.
class DescriptionToolData : public ToolData {
 public:
  virtual const String GetResourceSymbol() = 0;
  virtual Int32 GetToolPluginId() = 0;
  /// Adds the DEFAULT values of the tool's description resource for ids not yet set.
  void InitDefaultSettings(BaseDocument* doc, BaseContainer& data) override;
  /// The tool's settings container (the host's tool data of this tool).
  BaseContainer& GetToolData() { return settings_; }

 private:
  BaseContainer settings_;
};
