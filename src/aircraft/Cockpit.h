#pragma once
#include "XPLMDisplay.h"

// Draw callback (first scene phase): mirrors a co-pilot's head to the other side on a view change.
int SkytetherDC3DCockpit(XPLMDrawingPhase inPhase, int inIsBefore, void *inRefcon);
// At enable: the marker file switches view-only mode on for the rest of the plugin's life.
void DetectViewOnly();
// At stop, in view-only mode: clears the host's flight-control and plane-path overrides.
void ReleaseViewOnlyOverrides();
