// The three functions the web server calls, exported with C linkage.
#include "filter/RequestHandling.h"

#if defined(_WIN32)
#define REFWARDEN_EXPORT extern "C"  // exported through refwarden.def
#else
#define REFWARDEN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

REFWARDEN_EXPORT BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
  return refwarden::RegisterFilter(pVer);
}

REFWARDEN_EXPORT DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD NotificationType,
                                             VOID* pvNotification) {
  return refwarden::HandleNotification(pfc, NotificationType, pvNotification);
}

REFWARDEN_EXPORT BOOL WINAPI TerminateFilter(DWORD /*dwFlags*/) { return TRUE; }
