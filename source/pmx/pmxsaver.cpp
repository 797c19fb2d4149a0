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

/// Shows the busy cursor for its lifetime and the normal one afterwards, however the export
/// leaves.
class BusyCursor {
 public:
  BusyCursor() { GeShowMouse(MOUSE_BUSY); }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
  ~BusyCursor() {
    try {
      GeShowMouse(MOUSE_NORMAL);
    } catch (...) {
    }
  }
};

void PrintFailure(const Filename& name, const String& reason) {
  String line = String(kPmxExportFailedText) + name.GetString();
  if (reason.Content()) line += String(" (") + reason + String(")");
  GePrint(line + String("\n"));
}

/// The result and console line for an exception that ended an export. Nothing escapes into
/// the host.
FILEERROR ReportException(const Filename& name, const std::exception_ptr& error) noexcept {
  FILEERROR result = FILEERROR_INVALID;
  String reason("unknown error");
  try {
    std::rethrow_exception(error);
  } catch (const std::bad_alloc& e) {
    result = FILEERROR_OUTOFMEMORY;
    reason = String(e.what());
  } catch (const std::length_error& e) {
    result = FILEERROR_OUTOFMEMORY;
    reason = String(e.what());
  } catch (const std::exception& e) {
    reason = String(e.what());
  } catch (...) {
  }
  try {
    PrintFailure(name, reason);
  } catch (...) {
  }
  return result;
}

/// Writes `model` to `name`. A file that cannot be written completely never replaces what
/// was there: the host file only takes the place of the target on an error-free close.
FILEERROR WriteModelFile(const Filename& name, const PmxModel& model) {
  std::unique_ptr<BaseFile, FileCloser> file(BaseFile::Alloc());
  if (!file) throw std::bad_alloc();
  if (file->Open(name, FILEOPEN_WRITE, FILEDIALOG_ANY, BYTEORDER_MOTOROLA, MACTYPE_CINEMA,
                 MACCREATOR_CINEMA)) {
    file->SetOrder(BYTEORDER_INTEL);
    try {
      PmxWriteModel(file.get(), model);
    } catch (...) {
      file->SetError(FILEERROR_WRITE);
      throw;
    }
  }
  file->Close();
  return file->GetError();
}

}  // namespace

PmxExportSettings PmxSaverData::ReadSettings(const BaseContainer& bc, BaseDocument* doc) {
  PmxExportSettings s;
  // Without a stored unit the saver exports at its documented default.
  const UnitScaleData fallback(8.0, DOCUMENT_UNIT::CM);
  const auto* exportUnit = static_cast<const UnitScaleData*>(
      bc.GetCustomDataType(PMX_EXPORT_UNIT, CUSTOMDATATYPE_UNITSCALE));
  const auto* docUnit =
      doc ? static_cast<const UnitScaleData*>(doc->GetDataInstance()->GetCustomDataType(
                DOCUMENT_DOCUNIT, CUSTOMDATATYPE_UNITSCALE))
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
  try {
    // The document handed in is the one to export; the active one only stands in for a host
    // that hands none.
    if (!doc) doc = GetActiveDocument();
    const PmxExportSettings settings =
        ReadSettings(node ? *node->GetDataInstance() : BaseContainer(), doc);
    GePrint(String(kPmxExportStartText));
    const BusyCursor busy;
    if (!doc) {
      PrintFailure(name, String());
      return FILEERROR_INVALID;
    }

    const PmxModel model = PmxBuildModel(doc, settings);
    // Every reader rejects a file with such a value: the previous file is kept instead.
    if (const String problem = PmxFindUnwritableValue(model); problem.Content()) {
      PrintFailure(name, problem);
      return FILEERROR_INVALID;
    }
    const FILEERROR result = WriteModelFile(name, model);
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
  } catch (...) {
    return ReportException(name, std::current_exception());
  }
}

Bool RegisterPmxSaver() {
  return RegisterSceneSaverPlugin(ID_PMX_SAVER, GeLoadString(IDS_PMX_SAVER), 0, PmxSaverData::Alloc,
                                  String("FTavoPmxExport"), String("pmx"));
}
