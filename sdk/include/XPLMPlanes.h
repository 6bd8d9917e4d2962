#ifndef XPLMPlanes_h
#define XPLMPlanes_h
#include "XPLMDefs.h"
#ifdef __cplusplus
extern "C" {
#endif

#define XPLM_USER_AIRCRAFT 0

typedef void (*XPLMPlanesAvailable_f)(void *inRefcon);

XPLM_API void XPLMSetUsersAircraft(const char *inAircraftPath);
XPLM_API void XPLMPlaceUserAtAirport(const char *inAirportCode);
XPLM_API void XPLMCountAircraft(int *outTotalAircraft, int *outActiveAircraft, XPLMPluginID *outController);
XPLM_API void XPLMGetNthAircraftModel(int inIndex, char *outFileName, char *outPath);
XPLM_API int XPLMAcquirePlanes(char **inAircraft, XPLMPlanesAvailable_f inCallback, void *inRefcon);
XPLM_API void XPLMReleasePlanes(void);
XPLM_API void XPLMSetActiveAircraftCount(int inCount);
XPLM_API void XPLMSetAircraftModel(int inIndex, const char *inAircraftPath);
XPLM_API void XPLMDisableAIForPlane(int inPlaneIndex);

#ifdef __cplusplus
}
#endif
#endif
