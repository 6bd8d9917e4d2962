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

#if defined(XPLM200)
/* Commands: named actions the user binds to keys and buttons. A handler returns 1 to let the
   command go on to the next handler and the host, 0 to stop it there. */
enum { xplm_CommandBegin = 0, xplm_CommandContinue = 1, xplm_CommandEnd = 2 };
typedef int XPLMCommandPhase;
typedef void *XPLMCommandRef;
typedef int (*XPLMCommandCallback_f)(XPLMCommandRef inCommand, XPLMCommandPhase inPhase, void *inRefcon);

XPLM_API XPLMCommandRef XPLMFindCommand(const char *inName);
XPLM_API void XPLMCommandBegin(XPLMCommandRef inCommand);
XPLM_API void XPLMCommandEnd(XPLMCommandRef inCommand);
XPLM_API void XPLMCommandOnce(XPLMCommandRef inCommand);
XPLM_API XPLMCommandRef XPLMCreateCommand(const char *inName, const char *inDescription);
XPLM_API void XPLMRegisterCommandHandler(XPLMCommandRef inComand, XPLMCommandCallback_f inHandler,
                                         int inBefore, void *inRefcon);
XPLM_API void XPLMUnregisterCommandHandler(XPLMCommandRef inComand, XPLMCommandCallback_f inHandler,
                                           int inBefore, void *inRefcon);
#endif /* XPLM200 */

#ifdef __cplusplus
}
#endif
#endif
