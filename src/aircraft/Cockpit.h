#pragma once

// Flight loop, every frame: mirrors a co-pilot's head to the other side on a view change.
float SkytetherDC3DCockpit(float inElapsedSinceLastCall, float inElapsedTimeSinceLastFlightLoop,
                           int inCounter, void *inRefcon);
// At enable: the marker file switches view-only mode on for the rest of the plugin's life.
void DetectViewOnly();
// At stop, in view-only mode: clears the host's flight-control and plane-path overrides.
void ReleaseViewOnlyOverrides();
