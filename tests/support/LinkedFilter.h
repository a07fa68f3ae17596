// The filter's request handling linked into the test itself, so that the
// registry store's counters in this process are the ones it uses. A target
// that includes this links refwarden_filter.
#pragma once

#include "filter/RequestHandling.h"
#include "platform/Platform.h"

namespace refwarden::testing {

// HttpFilterProc as the filter library exports it, without the library.
inline DWORD WINAPI LinkedHttpFilterProc(HTTP_FILTER_CONTEXT* context, DWORD notification,
                                         void* data) {
  return HandleNotification(context, notification, data);
}

}  // namespace refwarden::testing
