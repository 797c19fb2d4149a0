// The PMX scene saver: exports a document as a PMX 2.0 model file.
#pragma once

#include "c4d.h"
#include "pmx/pmxmodel.h"

/// Plug-in id of the PMX scene saver.
constexpr Int32 ID_PMX_SAVER = 1031967;

/// Settings of the saver (description "FTavoPmxExport").
///
/// Defaults, chosen for MMD users: the unit is 8 cm per PMX unit (MMD's usual scale: a
/// 160 cm figure becomes 20 units tall); texture folder off with an empty folder; material
/// names without the object name; every vertex written as BDEF4 with its weights as stored.
enum : Int32 {
  PMX_EXPORT_UNIT = 2000,                       // unit-scale data: length of one PMX unit
  PMX_EXPORT_USE_TEXTURE_FOLDER = 2001,         // texture paths = folder + stored name
  PMX_EXPORT_TEXTURE_FOLDER = 2002,             // text
  PMX_EXPORT_MATERIAL_NAME_WITH_OBJECT = 2003,  // material names carry "-" + object name
  PMX_EXPORT_LIMIT_DEFORM = 2005,               // BDEF1/2/4 by influence count, normalised
};

/// Console lines of an export. The completion and failure lines are followed by the file
/// name and a line break; a failure caused by an exception also names the reason.
inline constexpr char kPmxExportStartText[] = "PMX出力を開始...\n";
inline constexpr char kPmxExportDoneText[] = "PMX出力を完了しました。";
inline constexpr char kPmxExportFailedText[] = "PMX出力に失敗しました。";

class PmxSaverData : public SceneSaverData {
 public:
  static NodeData* Alloc() { return new PmxSaverData; }

  ~PmxSaverData() override;
  Bool Init(GeListNode* node) override;
  /// Exports `doc` (the active document when null) to `name`. Answers the file's error
  /// state after closing: FILEERROR_NONE only when every byte reached the file.
  FILEERROR Save(BaseSceneSaver* node, const Filename& name, BaseDocument* doc,
                 SCENEFILTER filterflags) override;

  /// The model and header of the last export (kept until the next one).
  const PmxPolygonExchange& GetModel() const { return model_; }
  const PmxModelHeader& GetHeader() const { return header_; }

  /// The export settings Save reads from the saver's parameters and the document's unit.
  static PmxExportSettings ReadSettings(const BaseContainer& saverData, BaseDocument* doc);

 private:
  FILEERROR Export(BaseSceneSaver* node, const Filename& name, BaseDocument* doc);

  PmxModelHeader header_;
  PmxPolygonExchange model_;
};

Bool RegisterPmxSaver();
