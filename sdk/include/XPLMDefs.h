#ifndef XPLMDefs_h
#define XPLMDefs_h
/* Our declarations of the plugin SDK's base definitions (published names and values).
   As in the published headers, a build defines the SDK versions it targets (XPLM200, XPLM210,
   XPLM300, XPLM301, XPLM302, XPLM303, XPLM400), and XPLM_DEPRECATED only to see what the
   current host no longer does. */
#ifdef __cplusplus
extern "C" {
#endif

#include <stdint.h>

/* A plugin exports its entry points and imports the SDK's functions; on Windows from the SDK's
   DLLs (XPLM_64.dll, XPWidgets_64.dll), which the host builds with XPLM defined. */
#if IBM
#ifdef __cplusplus
#define PLUGIN_API extern "C" __declspec(dllexport)
#else
#define PLUGIN_API __declspec(dllexport)
#endif
#if XPLM
#define XPLM_API __declspec(dllexport)
#else
#define XPLM_API __declspec(dllimport)
#endif
#else
#ifdef __cplusplus
#define PLUGIN_API extern "C" __attribute__((visibility("default")))
#else
#define PLUGIN_API __attribute__((visibility("default")))
#endif
#define XPLM_API __attribute__((visibility("default")))
#endif

typedef int XPLMPluginID;
#define XPLM_NO_PLUGIN_ID (-1)
#define XPLM_PLUGIN_XPLANE (0)
#define kXPLM_Version (400)

typedef int XPLMKeyFlags;
enum {
  xplm_ShiftFlag = 1,
  xplm_OptionAltFlag = 2,
  xplm_ControlFlag = 4,
  xplm_DownFlag = 8,
  xplm_UpFlag = 16
};

#define XPLM_KEY_RETURN 13
#define XPLM_KEY_ESCAPE 27
#define XPLM_KEY_TAB 9
#define XPLM_KEY_DELETE 8
#define XPLM_KEY_LEFT 28
#define XPLM_KEY_RIGHT 29
#define XPLM_KEY_UP 30
#define XPLM_KEY_DOWN 31
#define XPLM_KEY_0 48
#define XPLM_KEY_DECIMAL 46

#define XPLM_VK_BACK 0x08
#define XPLM_VK_TAB 0x09
#define XPLM_VK_CLEAR 0x0C
#define XPLM_VK_RETURN 0x0D
#define XPLM_VK_ESCAPE 0x1B
#define XPLM_VK_SPACE 0x20
#define XPLM_VK_DELETE 0x2E

#ifdef __cplusplus
}
#endif
#endif
