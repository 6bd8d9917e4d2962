#pragma once
// Reads "Resources/plugins/stprefs.txt" under the host's folder into the preference globals; a missing file
// changes nothing.
void LoadPreferences();
// Rewrites the file from the globals (owner read/write only); a file that cannot be written is skipped.
void SavePreferences();
