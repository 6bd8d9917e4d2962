#pragma once
// What the plugin offers the pilot's key and button bindings (commands) and other plugins
// (read-only datarefs). Both are made at start and withdrawn at stop.

// Creates the commands and registers their handlers; registers the datarefs.
void RegisterCommandsAndDataRefs();
// Unregisters both (the host keeps a command once made, with no handler of ours left on it).
void UnregisterCommandsAndDataRefs();
