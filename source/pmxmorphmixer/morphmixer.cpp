// The mixer's window and the command that opens it.
#include "pmxmorphmixer/morphmixer.h"

Bool MainDialog::CreateLayout() {
  GeDialog::CreateLayout();
  const Bool loaded = LoadDialogResource(DLG_MORPH_MIXER, nullptr, 0);
  if (loaded) AttachSubDialog(&rows_, MORPH_MIXER_ROWS);
  return loaded;
}

Bool MainDialog::InitValues() { return GeDialog::InitValues(); }

Bool MainDialog::CoreMessage(Int32 id, const BaseContainer& msg) {
  switch (id) {
    case EVMSG_CHANGE:
      if (CheckCoreMessage(msg, &changeCounter_) && GetActiveDocument()) rows_.RefreshRows();
      break;
    case ID_PMXMORPHMIXER:
      // A morph object rebuilt. While a person drags a slider the window has the focus, and
      // the rows under the slider stay as they are; a sender that sets the first parameter
      // asks for the refresh all the same.
      if (!hasFocus_ || msg.GetVoid(BFM_CORE_PAR1)) rows_.RefreshRows();
      break;
    default:
      break;
  }
  return GeDialog::CoreMessage(id, msg);
}

Bool MainDialog::Command(Int32 id, const BaseContainer&) {
  if (id != MORPH_MIXER_RESET && id != MORPH_MIXER_APPLY) return true;
  // Without a document there is nothing to write, but the rows still follow.
  if (BaseDocument* doc = GetActiveDocument()) {
    doc->StartUndo();
    if (id == MORPH_MIXER_RESET) {
      ResetAllStrengths(doc, true);
    } else {
      rows_.ApplyRowsToDocument(doc, true);
    }
    doc->EndUndo();
  }
  rows_.RefreshRows();
  DrawViews(DRAWFLAGS_NO_THREAD);
  return true;
}

Int32 MainDialog::Message(const BaseContainer& msg, BaseContainer& result) {
  if (msg.GetId() == BFM_GOT_FOCUS) {
    hasFocus_ = true;
  } else if (msg.GetId() == BFM_LOST_FOCUS) {
    hasFocus_ = false;
  }
  return GeDialog::Message(msg, result);
}

Bool PmxMorphSubDialog::Execute(BaseDocument*) {
  return dialog_.Open(DLG_TYPE_ASYNC, ID_PMXMORPHMIXER, -1, -1, 0, 0, 0);
}

Int32 PmxMorphSubDialog::GetState(BaseDocument*) { return CMD_ENABLED; }

Bool PmxMorphSubDialog::RestoreLayout(void* secret) {
  return dialog_.RestoreLayout(ID_PMXMORPHMIXER, 0, secret);
}

Bool PmxMorphSubDialog::Message(Int32, void*) { return false; }

Bool RegisterPmxMorphMixer() {
  return RegisterCommandPlugin(ID_PMXMORPHMIXER, GeLoadString(IDS_MORPH_MIXER), 0,
                               AutoBitmap(String("morphmixer_dlg.png")), String(),
                               new PmxMorphSubDialog);
}
