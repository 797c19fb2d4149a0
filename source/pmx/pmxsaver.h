// The PMX scene saver: exports a document as a PMX 2.0 model file.
#pragma once

#include "FTavoPmxExport.h"
#include "c4d.h"
#include "c4d_symbols.h"
#include "pmx/pmxmodel.h"

/// Console lines of an export. The completion and failure lines are followed by the file
/// name and a line break; a failure caused by an exception also names the reason.
inline constexpr char kPmxExportStartText[] = "PMX出力を開始...\n";
inline constexpr char kPmxExportDoneText[] = "PMX出力を完了しました。";
inline constexpr char kPmxExportFailedText[] = "PMX出力に失敗しました。";

/// The saver of description "FTavoPmxExport". It keeps nothing between exports.
///
/// Defaults, chosen for MMD users: the unit is 8 cm per PMX unit (MMD's usual scale: a
/// 160 cm figure becomes 20 units tall); texture folder off with an empty folder; material
/// names without the object name; every vertex written as BDEF4 with its weights as stored.
class PmxSaverData : public SceneSaverData {
 public:
  static NodeData* Alloc() { return new PmxSaverData; }

  /// Exports `doc` (the active document when null) to `name`. Answers the file's error
  /// state after closing: FILEERROR_NONE only when every byte reached the file.
  FILEERROR Save(BaseSceneSaver* node, const Filename& name, BaseDocument* doc,
                 SCENEFILTER filterflags) override;

  /// The export settings Save reads from the saver's parameters and the document's unit.
  static PmxExportSettings ReadSettings(const BaseContainer& saverData, BaseDocument* doc);
};

Bool RegisterPmxSaver();
