// The morph mixer: a floating dialog with one slider per morph target name found in the active
// document. A slider sets the strength of every target of its name in every morph object, so
// that the parts of a model (face, eyebrows, ...) move together; two buttons set every strength
// to 0 or write the values shown into the document. The rows follow the document.
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "c4d.h"
#include "c4d_symbols.h"

/// The most rows the mixer shows, and so the most distinct target names.
constexpr Int32 kMorphMixerRowLimit = 1000;

/// One possible row of the mixer: a target name and its slider.
struct MorphMixerRow {
  String name;
  Float strength = 0.0;  // the slider's value, in percent
  C4DGadget* textGadget = nullptr;
  C4DGadget* sliderGadget = nullptr;
  Int32 textId = 0;    // 2000 + 2r
  Int32 sliderId = 0;  // 2001 + 2r
  Int32 used = 0;      // 1 while shown
};

/// The rows: a name and a slider per distinct target name, in the order of a depth-first walk
/// over the document.
class MySubDialog1 : public SubDialog {
 public:
  MySubDialog1();
  ~MySubDialog1() override = default;
  Bool CreateLayout() override;
  Bool InitValues() override;
  /// A slider moved: every target of the row's name takes its value.
  Bool Command(Int32 id, const BaseContainer& msg) override;
  Int32 Message(const BaseContainer& msg, BaseContainer& result) override;

  /// Finds the target names of the active document anew and shows a row for each; the value
  /// shown for a name is the strength of its first target met. Names past the row limit get
  /// no row, and the console says how many were left out.
  void RefreshRows();
  /// Writes each shown row's value into every target of its name in `doc`.
  void ApplyRowsToDocument(BaseDocument* doc, Bool recordUndo);

  Int64 GetRowCount() const { return rowCount_; }
  const MorphMixerRow& GetRow(Int32 r) const { return rows_[static_cast<size_t>(r)]; }
  /// Distinct names the last RefreshRows found no row for.
  Int32 GetNamesLeftOut() const { return leftOut_; }

 private:
  void CollectTargetNames(BaseObject* op, BaseDocument* doc);
  void AddRow(const String& name, Float percent);

  std::vector<MorphMixerRow> rows_;
  Int64 rowCount_ = 0;
  std::unordered_map<std::u16string, Int32> rowOfName_;         // rows in use by name
  std::unordered_set<std::u16string>* leftOutNames_ = nullptr;  // during RefreshRows
  Int32 leftOut_ = 0;
  Int32 leftOutReported_ = 0;
};

/// The mixer's window: the rows and the two buttons.
class MainDialog : public GeDialog {
 public:
  ~MainDialog() override = default;
  Bool CreateLayout() override;
  Bool InitValues() override;
  Bool CoreMessage(Int32 id, const BaseContainer& msg) override;
  Bool Command(Int32 id, const BaseContainer& msg) override;
  Int32 Message(const BaseContainer& msg, BaseContainer& result) override;

  MySubDialog1* GetRows() { return &rows_; }
  Bool HasFocus() const { return hasFocus_; }

 private:
  MySubDialog1 rows_;
  Bool hasFocus_ = false;
  Int32 changeCounter_ = 0;  // EVMSG_CHANGE seen
};

/// The command that opens the mixer; it keeps the dialog for the whole session.
class PmxMorphSubDialog : public CommandData {
 public:
  ~PmxMorphSubDialog() override = default;
  Bool Execute(BaseDocument* doc) override;
  Int32 GetState(BaseDocument* doc) override;
  Bool RestoreLayout(void* secret) override;
  Bool Message(Int32 type, void* data) override;

  MainDialog* GetDialog() { return &dialog_; }

 private:
  MainDialog dialog_;
};

/// Sets the strength of every target named `name` of the morph objects in `op` and below to
/// `v` (a fraction). Answers whether any morph object there changed.
Bool SetStrengthByName(BaseObject* op, BaseDocument* doc, const String& name, Float v);
/// Sets every target strength of every morph object of `doc` to 0.
void ResetAllStrengths(BaseDocument* doc, Bool recordUndo);

/// Registers the mixer command (registration row 4).
Bool RegisterPmxMorphMixer();
