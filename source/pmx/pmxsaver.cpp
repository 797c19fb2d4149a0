#include "pmx/pmxsaver.h"

#include <exception>
#include <memory>
#include <new>
#include <stdexcept>

#include "pmx/pmxconvert.h"
#include "pmx/pmxwriter.h"

namespace {

/// Closes and frees the host file however the export leaves.
struct FileCloser {
  void operator()(BaseFile* f) const {
    f->Close();
    BaseFile::Free(f);
  }
};

void PrintFailure(const Filename& name, const String& reason) {
  String line = String(kPmxExportFailedText) + name.GetString();
  if (reason.Content()) line += String(" (") + reason + String(")");
  GePrint(line + String("\n"));
}

}  // namespace

PmxSaverData::~PmxSaverData() { model_.Clear(); }

Bool PmxSaverData::Init(GeListNode*) {
  header_.ZeroCounts();
  return true;
}

PmxExportSettings PmxSaverData::ReadSettings(const BaseContainer& bc, BaseDocument* doc) {
  PmxExportSettings s;
  // Without a stored unit the saver exports at its documented default.
  const UnitScaleData fallback(8.0, DOCUMENT_UNIT::CM);
  const UnitScaleData* exportUnit =
      bc.GetCustomDataType<UnitScaleData>(PMX_EXPORT_UNIT, CUSTOMDATATYPE_UNITSCALE);
  const UnitScaleData* docUnit = doc ? doc->GetDataInstance()->GetCustomDataType<UnitScaleData>(
                                           DOCUMENT_DOCUNIT, CUSTOMDATATYPE_UNITSCALE)
                                     : nullptr;
  s.scale = CalculateTranslationScale(docUnit, exportUnit ? exportUnit : &fallback);
  s.useTextureFolder = bc.GetBool(PMX_EXPORT_USE_TEXTURE_FOLDER, false) ? 1 : 0;
  s.textureFolder = bc.GetString(PMX_EXPORT_TEXTURE_FOLDER, String());
  s.materialNameWithObject = bc.GetBool(PMX_EXPORT_MATERIAL_NAME_WITH_OBJECT, false) ? 1 : 0;
  s.limitDeformToInfluences = bc.GetBool(PMX_EXPORT_LIMIT_DEFORM, false) ? 1 : 0;
  if (s.useTextureFolder && s.textureFolder.Content()) {
    const UInt16 last = s.textureFolder[s.textureFolder.GetLength() - 1];
    if (last != '\\' && last != '/') s.textureFolder += String("\\");
  }
  if (doc) s.documentPath = doc->GetDocumentPath();
  return s;
}

FILEERROR PmxSaverData::Save(BaseSceneSaver* node, const Filename& name, BaseDocument* doc,
                             SCENEFILTER filterflags) {
  if (!(filterflags & SCENEFILTER_OBJECTS)) return FILEERROR_NONE;
  // Nothing may escape into the host: a failed export is reported, not thrown.
  FILEERROR result = FILEERROR_NONE;
  try {
    result = Export(node, name, doc);
  } catch (const std::exception& e) {
    result = dynamic_cast<const std::bad_alloc*>(&e) || dynamic_cast<const std::length_error*>(&e)
                 ? FILEERROR_OUTOFMEMORY
                 : FILEERROR_INVALID;
    try {
      model_.Clear();
      header_.ZeroCounts();
      PrintFailure(name, String(e.what()));
    } catch (...) {
    }
  } catch (...) {
    result = FILEERROR_INVALID;
    try {
      model_.Clear();
      header_.ZeroCounts();
      PrintFailure(name, String("unknown error"));
    } catch (...) {
    }
  }
  try {
    GeShowMouse(MOUSE_NORMAL);
  } catch (...) {
  }
  return result;
}

FILEERROR PmxSaverData::Export(BaseSceneSaver* node, const Filename& name, BaseDocument* doc) {
  // The document handed in is the one to export; the active one only stands in for a host
  // that hands none.
  if (!doc) doc = GetActiveDocument();
  const PmxExportSettings settings =
      ReadSettings(node ? *node->GetDataInstance() : BaseContainer(), doc);

  GePrint(String(kPmxExportStartText));
  GeShowMouse(MOUSE_BUSY);
  if (!doc) {
    PrintFailure(name, String());
    return FILEERROR_INVALID;
  }

  model_.Clear();
  PmxWalkHierarchy(&model_, doc->GetFirstObject(), 1, nullptr, Matrix());
  PmxBuildModel(&model_, settings);

  PmxFillHeaderCounts(model_, &header_);
  header_.modelName = String("モデル名");
  header_.modelNameEnglish = String("Model name");
  header_.comment = String("コメント");
  header_.commentEnglish = String("comment");

  std::unique_ptr<BaseFile, FileCloser> file(BaseFile::Alloc());
  if (!file) throw std::bad_alloc();
  if (file->Open(name, FILEOPEN_WRITE, FILEDIALOG_ANY, BYTEORDER_MOTOROLA, MACTYPE_CINEMA,
                 MACCREATOR_CINEMA)) {
    file->SetOrder(BYTEORDER_INTEL);
    try {
      PmxWriteFile(file.get(), header_, model_, settings);
    } catch (...) {
      // Closing with an error keeps a half-written file from replacing the target.
      file->SetError(FILEERROR_WRITE);
      throw;
    }
  }
  file->Close();
  const FILEERROR result = file->GetError();
  file.reset();

  if (result != FILEERROR_NONE) {
    PrintFailure(name, String());
    return result;
  }
  // The file is complete: a failure to tell about it does not undo the export.
  try {
    GePrint(String(kPmxExportDoneText) + name.GetString() + String("\n"));
  } catch (...) {
  }
  return result;
}

Bool RegisterPmxSaver() {
  return RegisterSceneSaverPlugin(ID_PMX_SAVER, GeLoadString(10000), 0, PmxSaverData::Alloc,
                                  String("FTavoPmxExport"), String("pmx"));
}
