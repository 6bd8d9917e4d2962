// Commands a pilot binds to keys and buttons, and the datarefs other plugins read. Each command
// runs the code its key, menu item or button runs; each dataref reads the plugin's own state.
#include "plugin/Published.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "XPLMDataAccess.h"
#include "XPLMUtilities.h"
#include "aircraft/Traffic.h"
#include "net/net.h"
#include "plugin/SkytetherSE.h"
#include "ui/ui.h"

namespace {

struct Command {
  const char *name;
  const char *description;
  void (*action)();
  XPLMCommandRef ref;
};

Command commands[] = {
    {"skytether/toggle_chat",
     "Skytether: chat with the keyboard, as Tab (open to type, give the keyboard back, close)", ChatTab,
     nullptr},
    {"skytether/toggle_plane_list", "Skytether: show or hide the plane list", TogglePlaneList, nullptr},
    {"skytether/settings", "Skytether: open Control & Settings", OpenSettings, nullptr},
    {"skytether/connect", "Skytether: connect to the server", ConnectFromPane, nullptr},
    {"skytether/disconnect", "Skytether: disconnect from the server", DisconnectFromPane, nullptr},
    {"skytether/toggle_labels", "Skytether: show or hide the callsigns over the other aircraft", ToggleLabels,
     nullptr},
};

// Acts once per press, on the begin phase; held buttons repeat nothing. Returns 1 so that other
// plugins' handlers of the same command still run.
int CommandHandler(XPLMCommandRef, XPLMCommandPhase phase, void *refcon) {
  if (phase == xplm_CommandBegin) static_cast<Command *>(refcon)->action();
  return 1;
}

// Byte-array reads: the text's bytes from the offset, no terminating NUL; with no buffer, the
// text's length.
int CopyText(const std::string &text, void *out, int offset, int max) {
  const int size = static_cast<int>(std::min<size_t>(text.size(), 1 << 30));
  if (!out) return size;
  if (offset < 0 || offset >= size || max <= 0) return 0;
  const int n = std::min(max, size - offset);
  std::memcpy(out, text.data() + offset, static_cast<size_t>(n));
  return n;
}

int ReadConnected(void *) {
  return tcpconnected != 0 ? 1 : 0;
}
int ReadViewOnly(void *) {
  return viewOnly != 0 ? 1 : 0;
}
int ReadPlanesInUse(void *) {
  int n = 0;
  for (int slot = 1; slot < kSlotCount; ++slot) n += SlotShowsAircraft(slot) ? 1 : 0;
  return n;
}
int ReadPlanesCanShow(void *) {
  return SlotsThatCanShow();
}
int ReadModelsRefused(void *) {
  return refusedModelPaths;
}
// The refcon is the string itself: myCallsign or a slot's entry of Callsigns.
int ReadString(void *refcon, void *out, int offset, int max) {
  return CopyText(*static_cast<const std::string *>(refcon), out, offset, max);
}
// While connected the server in use: its address ("203.0.113.10", "2001:db8::10"), after its name
// when it was chosen by one ("sky.example.org (203.0.113.10)"); empty otherwise.
int ReadServerAddress(void *, void *out, int offset, int max) {
  return CopyText(tcpconnected != 0 ? ServerShown() : std::string(), out, offset, max);
}

constexpr int kDataRefCount = 7 + (kSlotCount - 1);
XPLMDataRef dataRefs[kDataRefCount];

XPLMDataRef RegisterInt(const char *name, XPLMGetDatai_f read) {
  return XPLMRegisterDataAccessor(name, xplmType_Int, 0, read, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

XPLMDataRef RegisterBytes(const char *name, XPLMGetDatab_f read, void *refcon) {
  return XPLMRegisterDataAccessor(name, xplmType_Data, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, read, nullptr, refcon,
                                  nullptr);
}

}  // namespace

void RegisterCommandsAndDataRefs() {
  for (Command &c : commands) {
    c.ref = XPLMCreateCommand(c.name, c.description);
    XPLMRegisterCommandHandler(c.ref, CommandHandler, 1, &c);
  }

  int k = 0;
  dataRefs[k++] = RegisterInt("skytether/connected", ReadConnected);
  dataRefs[k++] = RegisterInt("skytether/view_only", ReadViewOnly);
  dataRefs[k++] = RegisterInt("skytether/planes_in_use", ReadPlanesInUse);
  dataRefs[k++] = RegisterInt("skytether/planes_can_show", ReadPlanesCanShow);
  dataRefs[k++] = RegisterInt("skytether/models_refused", ReadModelsRefused);
  dataRefs[k++] = RegisterBytes("skytether/callsign", ReadString, &myCallsign);
  dataRefs[k++] = RegisterBytes("skytether/server_address", ReadServerAddress, nullptr);
  // Slot n drives the host's multiplayer plane n.
  for (int slot = 1; slot < kSlotCount; ++slot) {
    const std::string name = "skytether/plane" + std::to_string(slot) + "_callsign";
    dataRefs[k++] = RegisterBytes(name.c_str(), ReadString, &Callsigns[slot]);
  }
}

void UnregisterCommandsAndDataRefs() {
  for (Command &c : commands) {
    XPLMUnregisterCommandHandler(c.ref, CommandHandler, 1, &c);
    c.ref = nullptr;
  }
  for (XPLMDataRef &ref : dataRefs) {
    if (ref) XPLMUnregisterDataAccessor(ref);
    ref = nullptr;
  }
}
