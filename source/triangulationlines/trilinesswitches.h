// The display switch commands: each flips one switch of the triangulation line scene hook of
// the active document and tells the options dialog.
#pragma once

#include "c4d.h"
#include "c4d_symbols.h"

/// A command that flips one flag parameter of the triangulation line scene hook.
class TriLinesHookSwitch : public CommandData {
 public:
  explicit TriLinesHookSwitch(Int32 parameter) : parameter_(parameter) {}
  Bool Execute(BaseDocument* doc) override;
  Int32 GetState(BaseDocument* doc) override;

 private:
  Int32 parameter_;
};

/// Switches the triangulation lines on and off.
class TriangulationLineDrawSwitch : public TriLinesHookSwitch {
 public:
  TriangulationLineDrawSwitch() : TriLinesHookSwitch(TRI_LINES_DRAW) {}
};

/// Switches the PMX edge preview on and off.
class PmxEdgeDrawSwitchCommand : public TriLinesHookSwitch {
 public:
  PmxEdgeDrawSwitchCommand() : TriLinesHookSwitch(TRI_LINES_PMX_EDGE_DRAW) {}
};

/// Command state of a switch that is on: enabled and checked.
constexpr Int32 kSwitchStateOn = 0x7fffffff;

Bool RegisterTriangulationLineDrawSwitch();
Bool RegisterPmxEdgeDrawSwitch();
