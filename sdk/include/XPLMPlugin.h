#ifndef XPLMPlugin_h
#define XPLMPlugin_h
#include "XPLMDefs.h"
#ifdef __cplusplus
extern "C" {
#endif

XPLM_API XPLMPluginID XPLMGetMyID(void);

#ifdef __cplusplus
}
#endif
#endif
