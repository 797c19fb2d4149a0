// The triangulation line options: a non-modal dialog that shows and edits every parameter of
// the triangulation line scene hook of the active document, and the command that opens it.
#pragma once

#include "c4d.h"
#include "c4d_symbols.h"

class TriLinesOptionDlg : public GeDialog {
 public:
  ~TriLinesOptionDlg() override = default;
  Bool CreateLayout() override;
  Bool InitValues() override;
  Bool CoreMessage(Int32 id, const BaseContainer& msg) override;
  Bool Command(Int32 id, const BaseContainer& msg) override;
  Int32 Message(const BaseContainer& msg, BaseContainer& result) override;

 private:
  /// Shows the parameters of the active document's hook (nothing without one).
  void FillGadgets();
  Int32 coreMessageCounter_ = 0;
};

class TriLinesOptionDlgCmd : public CommandData {
 public:
  ~TriLinesOptionDlgCmd() override = default;
  Bool Execute(BaseDocument* doc) override;
  Int32 GetState(BaseDocument* doc) override;
  Bool RestoreLayout(void* secret) override;
  Bool Message(Int32 type, void* data) override;

  TriLinesOptionDlg* GetDialog() { return &dialog_; }

 private:
  TriLinesOptionDlg dialog_;
};

Bool RegisterTriLinesOptionDlgCmd();
