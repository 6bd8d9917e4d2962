#ifndef XPLMDisplay_h
#define XPLMDisplay_h
#include "XPLMDefs.h"
#ifdef __cplusplus
extern "C" {
#endif

typedef int XPLMDrawingPhase;
/* The 3-D phases are deprecated since XPLM302: the modern graphics backend never calls them. */
enum {
#if defined(XPLM_DEPRECATED)
  xplm_Phase_FirstScene = 0,
  xplm_Phase_Terrain = 5,
  xplm_Phase_Airports = 10,
  xplm_Phase_Vectors = 15,
  xplm_Phase_Objects = 20,
  xplm_Phase_Airplanes = 25,
  xplm_Phase_LastScene = 30,
#endif /* XPLM_DEPRECATED */
#if defined(XPLM302)
  xplm_Phase_Modern3D = 31,
#endif /* XPLM302 */
  xplm_Phase_FirstCockpit = 35,
  xplm_Phase_Panel = 40,
  xplm_Phase_Gauges = 45,
  xplm_Phase_Window = 50,
  xplm_Phase_LastCockpit = 55,
#if defined(XPLM200)
  xplm_Phase_LocalMap3D = 100,
  xplm_Phase_LocalMap2D = 101,
  xplm_Phase_LocalMapProfile = 102
#endif /* XPLM200 */
};

typedef int (*XPLMDrawCallback_f)(XPLMDrawingPhase inPhase, int inIsBefore, void *inRefcon);
typedef int (*XPLMKeySniffer_f)(char inChar, XPLMKeyFlags inFlags, char inVirtualKey, void *inRefcon);

XPLM_API int XPLMRegisterDrawCallback(XPLMDrawCallback_f inCallback, XPLMDrawingPhase inPhase,
                                      int inWantsBefore, void *inRefcon);
XPLM_API int XPLMUnregisterDrawCallback(XPLMDrawCallback_f inCallback, XPLMDrawingPhase inPhase,
                                        int inWantsBefore, void *inRefcon);
XPLM_API int XPLMRegisterKeySniffer(XPLMKeySniffer_f inCallback, int inBeforeWindows, void *inRefcon);
XPLM_API int XPLMUnregisterKeySniffer(XPLMKeySniffer_f inCallback, int inBeforeWindows, void *inRefcon);

typedef void *XPLMWindowID;

typedef int XPLMMouseStatus;
enum { xplm_MouseDown = 1, xplm_MouseDrag = 2, xplm_MouseUp = 3 };

typedef void (*XPLMDrawWindow_f)(XPLMWindowID inWindowID, void *inRefcon);
typedef void (*XPLMHandleKey_f)(XPLMWindowID inWindowID, char inKey, XPLMKeyFlags inFlags, char inVirtualKey,
                                void *inRefcon, int losingFocus);
typedef int (*XPLMHandleMouseClick_f)(XPLMWindowID inWindowID, int x, int y, XPLMMouseStatus inMouse,
                                      void *inRefcon);

XPLM_API XPLMWindowID XPLMCreateWindow(int inLeft, int inTop, int inRight, int inBottom, int inIsVisible,
                                       XPLMDrawWindow_f inDrawCallback, XPLMHandleKey_f inKeyCallback,
                                       XPLMHandleMouseClick_f inMouseCallback, void *inRefcon);
XPLM_API void XPLMDestroyWindow(XPLMWindowID inWindowID);
XPLM_API void XPLMGetScreenSize(int *outWidth, int *outHeight);
#if defined(XPLM_DEPRECATED)
XPLM_API void XPLMGetMouseLocation(int *outX, int *outY);
#endif /* XPLM_DEPRECATED */
XPLM_API void XPLMGetWindowGeometry(XPLMWindowID inWindowID, int *outLeft, int *outTop, int *outRight,
                                    int *outBottom);
XPLM_API void XPLMSetWindowGeometry(XPLMWindowID inWindowID, int inLeft, int inTop, int inRight,
                                    int inBottom);
XPLM_API int XPLMGetWindowIsVisible(XPLMWindowID inWindowID);
XPLM_API void XPLMSetWindowIsVisible(XPLMWindowID inWindowID, int inIsVisible);
XPLM_API void *XPLMGetWindowRefCon(XPLMWindowID inWindowID);
XPLM_API void XPLMSetWindowRefCon(XPLMWindowID inWindowID, void *inRefcon);
XPLM_API void XPLMTakeKeyboardFocus(XPLMWindowID inWindow);
XPLM_API void XPLMBringWindowToFront(XPLMWindowID inWindow);
XPLM_API int XPLMIsWindowInFront(XPLMWindowID inWindow);

#ifdef __cplusplus
}
#endif
#endif
