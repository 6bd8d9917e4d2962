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
#if defined(XPLM300)
/* 1 when the window holds the keyboard; with 0, when no plugin window does. */
XPLM_API int XPLMHasKeyboardFocus(XPLMWindowID inWindow);
#endif /* XPLM300 */
XPLM_API void XPLMBringWindowToFront(XPLMWindowID inWindow);
XPLM_API int XPLMIsWindowInFront(XPLMWindowID inWindow);

#if defined(XPLM300)
/* Windows made with XPLMCreateWindowEx live in global desktop coordinates, in "boxels": they are
   scaled with the user's interface scale, may pop out into a window of their own and be shown in
   VR. Their mouse and key callbacks get boxel coordinates too. */
typedef int XPLMCursorStatus;
enum { xplm_CursorDefault = 0, xplm_CursorHidden = 1, xplm_CursorArrow = 2, xplm_CursorCustom = 3 };
typedef XPLMCursorStatus (*XPLMHandleCursor_f)(XPLMWindowID inWindowID, int x, int y, void *inRefcon);
typedef int (*XPLMHandleMouseWheel_f)(XPLMWindowID inWindowID, int x, int y, int wheel, int clicks,
                                      void *inRefcon);

typedef int XPLMWindowLayer;
enum {
  xplm_WindowLayerFlightOverlay = 0,
  xplm_WindowLayerFloatingWindows = 1,
  xplm_WindowLayerModal = 2,
  xplm_WindowLayerGrowlNotifications = 3
};

typedef int XPLMWindowDecoration;
enum {
  xplm_WindowDecorationNone = 0,
  xplm_WindowDecorationRoundRectangle = 1,
  xplm_WindowDecorationSelfDecorated = 2,
  xplm_WindowDecorationSelfDecoratedResizable = 3
};

typedef struct {
  int structSize;
  int left;
  int top;
  int right;
  int bottom;
  int visible;
  XPLMDrawWindow_f drawWindowFunc;
  XPLMHandleMouseClick_f handleMouseClickFunc;
  XPLMHandleKey_f handleKeyFunc;
  XPLMHandleCursor_f handleCursorFunc;
  XPLMHandleMouseWheel_f handleMouseWheelFunc;
  void *refcon;
#if defined(XPLM301)
  XPLMWindowDecoration decorateAsFloatingWindow;
  XPLMWindowLayer layer;
  XPLMHandleMouseClick_f handleRightClickFunc;
#endif /* XPLM301 */
} XPLMCreateWindow_t;

XPLM_API XPLMWindowID XPLMCreateWindowEx(XPLMCreateWindow_t *inParams);
/* The main screen's bounds in global boxels (left, top, right, bottom). */
XPLM_API void XPLMGetScreenBoundsGlobal(int *outLeft, int *outTop, int *outRight, int *outBottom);
XPLM_API void XPLMGetMouseLocationGlobal(int *outX, int *outY);

typedef int XPLMWindowPositioningMode;
enum {
  xplm_WindowPositionFree = 0,
  xplm_WindowCenterOnMonitor = 1,
  xplm_WindowFullScreenOnMonitor = 2,
  xplm_WindowFullScreenOnAllMonitors = 3,
  xplm_WindowPopOut = 4,
#if defined(XPLM301)
  xplm_WindowVR = 5
#endif /* XPLM301 */
};
XPLM_API void XPLMSetWindowPositioningMode(XPLMWindowID inWindowID, XPLMWindowPositioningMode inPositioningMode,
                                           int inMonitorIndex);
XPLM_API void XPLMSetWindowTitle(XPLMWindowID inWindowID, const char *inWindowTitle);
/* A popped-out window's place on the desktop, in the system's pixels. */
XPLM_API void XPLMGetWindowGeometryOS(XPLMWindowID inWindowID, int *outLeft, int *outTop, int *outRight,
                                      int *outBottom);
XPLM_API void XPLMSetWindowGeometryOS(XPLMWindowID inWindowID, int inLeft, int inTop, int inRight,
                                      int inBottom);
#endif /* XPLM300 */
#if defined(XPLM301)
XPLM_API int XPLMWindowIsPoppedOut(XPLMWindowID inWindowID);
XPLM_API int XPLMWindowIsInVR(XPLMWindowID inWindowID);
/* A window in VR: its size in boxels. */
XPLM_API void XPLMGetWindowGeometryVR(XPLMWindowID inWindowID, int *outWidthBoxels, int *outHeightBoxels);
XPLM_API void XPLMSetWindowGeometryVR(XPLMWindowID inWindowID, int widthBoxels, int heightBoxels);
#endif /* XPLM301 */

#ifdef __cplusplus
}
#endif
#endif
