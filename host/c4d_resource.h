// Reading the module's resource folder: string tables, description and dialog resources.
// Host internals; plug-ins reach these through GeResource, Description and GeDialog.
#pragma once

#include <map>
#include <string>

#include "c4d_description.h"

namespace host {

/// Language folder suffix the host reads first ("us"); others are tried afterwards.
const std::string& GetLanguage();
void SetLanguage(const std::string& language);

/// Reads `res/c4d_symbols.h` and `res/strings_*/c4d_strings.str` of a resource folder.
Bool LoadStringTable(const Filename& resDir, std::map<Int32, String>* table, std::string* error);

/// Reads `res/description/<name>.res` with its `.h` symbols and its `.str` texts.
Bool LoadDescriptionResource(const Filename& resDir, const String& name, Description* out,
                             std::string* error);

/// One gadget of a dialog resource.
struct DialogGadget {
  Int32 id = 0;
  std::string kind;  // CHECKBOX, EDITNUMBERARROWS, COLORFIELD, BUTTON, SUBDIALOG, GROUP, ...
  String text;
};
/// Reads `res/dialogs/<symbol>.res` of the dialog whose id is `id` (in c4d_symbols.h).
Bool LoadDialogResource(const Filename& resDir, Int32 id, std::vector<DialogGadget>* gadgets,
                        std::string* error);

}  // namespace host

namespace host {
/// Keeps a module's loaded string table (GeResource::LoadString reads it).
void RegisterStringTable(const Filename& resDir, std::map<Int32, String> table);
String LookupString(const Filename& resDir, Int32 id);
}  // namespace host
