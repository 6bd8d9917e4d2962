#ifndef XPLMProcessing_h
#define XPLMProcessing_h
#include "XPLMDefs.h"
#ifdef __cplusplus
extern "C" {
#endif

typedef float (*XPLMFlightLoop_f)(float inElapsedSinceLastCall, float inElapsedTimeSinceLastFlightLoop,
                                  int inCounter, void *inRefcon);

XPLM_API float XPLMGetElapsedTime(void);
XPLM_API int XPLMGetCycleNumber(void);
XPLM_API void XPLMRegisterFlightLoopCallback(XPLMFlightLoop_f inFlightLoop, float inInterval, void *inRefcon);
XPLM_API void XPLMUnregisterFlightLoopCallback(XPLMFlightLoop_f inFlightLoop, void *inRefcon);
XPLM_API void XPLMSetFlightLoopCallbackInterval(XPLMFlightLoop_f inFlightLoop, float inInterval,
                                                int inRelativeToNow, void *inRefcon);

#if defined(XPLM210)
/* Where in the frame a flight loop made with XPLMCreateFlightLoop runs: before the flight model
   moves the user's aircraft, or after. The older registration runs before. */
typedef int XPLMFlightLoopPhaseType;
enum { xplm_FlightLoop_Phase_BeforeFlightModel = 0, xplm_FlightLoop_Phase_AfterFlightModel = 1 };
typedef void *XPLMFlightLoopID;
typedef struct {
  int structSize;
  XPLMFlightLoopPhaseType phase;
  XPLMFlightLoop_f callbackFunc;
  void *refcon;
} XPLMCreateFlightLoop_t;
/* Made unscheduled: it runs once XPLMScheduleFlightLoop gives it an interval. */
XPLM_API XPLMFlightLoopID XPLMCreateFlightLoop(XPLMCreateFlightLoop_t *inParams);
XPLM_API void XPLMDestroyFlightLoop(XPLMFlightLoopID inFlightLoopID);
XPLM_API void XPLMScheduleFlightLoop(XPLMFlightLoopID inFlightLoopID, float inInterval, int inRelativeToNow);
#endif /* XPLM210 */

#ifdef __cplusplus
}
#endif
#endif
