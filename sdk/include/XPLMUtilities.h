#ifndef XPLMUtilities_h
#define XPLMUtilities_h
#include "XPLMDefs.h"
#ifdef __cplusplus
extern "C" {
#endif

XPLM_API void XPLMGetSystemPath(char *outSystemPath);
XPLM_API void XPLMGetPrefsPath(char *outPrefsPath);
XPLM_API const char *XPLMGetDirectorySeparator(void);
XPLM_API void XPLMDebugString(const char *inString);
XPLM_API void XPLMSpeakString(const char *inString);

#ifdef __cplusplus
}
#endif
#endif
