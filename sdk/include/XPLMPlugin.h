#ifndef XPLMPlugin_h
#define XPLMPlugin_h
#include "XPLMDefs.h"
#ifdef __cplusplus
extern "C" {
#endif

XPLM_API XPLMPluginID XPLMGetMyID(void);
/* Any of the outputs may be null; each takes up to 256 bytes. */
XPLM_API void XPLMGetPluginInfo(XPLMPluginID inPlugin, char *outName, char *outFilePath, char *outSignature,
                                char *outDescription);
/* Calls the plugin's XPluginReceiveMessage with this plugin as the sender; XPLM_NO_PLUGIN_ID sends
   it to every plugin. */
XPLM_API void XPLMSendMessageToPlugin(XPLMPluginID inPlugin, int inMessage, void *inParam);

/* Features a plugin may switch on, by name: "XPLM_USE_NATIVE_PATHS" makes every path the SDK gives
   and takes a native one, in UTF-8 on every system. */
XPLM_API int XPLMHasFeature(const char *inFeature);
XPLM_API int XPLMIsFeatureEnabled(const char *inFeature);
XPLM_API void XPLMEnableFeature(const char *inFeature, int inEnable);

/* Messages the host sends every plugin (XPluginReceiveMessage). */
#define XPLM_MSG_PLANE_CRASHED 101
#define XPLM_MSG_PLANE_LOADED 102 /* parameter: the plane's index, 0 the user's */
#define XPLM_MSG_AIRPORT_LOADED 103
#define XPLM_MSG_SCENERY_LOADED 104
#define XPLM_MSG_AIRPLANE_COUNT_CHANGED 105
#define XPLM_MSG_PLANE_UNLOADED 106
#define XPLM_MSG_ENTERED_VR 109  /* the user put on the headset: sim/graphics/VR/enabled is 1 */
#define XPLM_MSG_EXITING_VR 110  /* sent while VR is still on, before the host leaves it */
#define XPLM_MSG_RELEASE_PLANES 111 /* another plugin asks for the planes */

#ifdef __cplusplus
}
#endif
#endif
