#pragma once
// The plugin's own code (not a copy) linked into a fuzz program together with the simulated host
// (the harness's PluginHost): XPluginStart and XPluginEnable run once in a host rooted at a fresh
// folder, and the targets then drive SkytetherPacketProcess with real sockets under it.
#include <string>

#include "skyhost/Host.h"

namespace fuzz {

// The host, with the plugin started and enabled; made on first call.
skyhost::Host &PluginHost();

// Puts what the receive side writes back to its state at start: slots, callsigns, model names,
// chat history and its hold, the stream buffer.
void ResetReceivedState();

// Own position the packet cycle reads at its start.
void SetOwnPosition(double lat, double lon);

}  // namespace fuzz
