// What the filter does at each server call, behind the exported entry points.
#pragma once

#include "RefwardenVersion.h"
#include "platform/Platform.h"

namespace refwarden {

// The version stated at registration: the project's major version in the
// high word, its minor in the low one (0x00010000 for 1.0).
inline constexpr DWORD kFilterVersion =
    (static_cast<DWORD>(REFWARDEN_VERSION_MAJOR) << 16) | REFWARDEN_VERSION_MINOR;
inline constexpr const char* kFilterDescription = "Refwarden for Image Files";
inline constexpr DWORD kFilterFlags = SF_NOTIFY_ORDER_LOW | SF_NOTIFY_PREPROC_HEADERS;

// What GetFilterVersion returns on success: TRUE with all bits set.
inline constexpr BOOL kRegisteredTrue = static_cast<BOOL>(~0u);

// Every server value is read into a zeroed buffer of this size.
inline constexpr DWORD kValueBufferSize = 4097;

// Fills the filter's version, description and notification flags. Returns
// TRUE with all bits set, or FALSE for a null record.
BOOL RegisterFilter(HTTP_FILTER_VERSION* version) noexcept;

// Handles one notification: for SF_NOTIFY_PREPROC_HEADERS reads the host,
// referer and URL, traces the query-less path, and on a hot-linked image
// replaces the URL with one SetHeader("url", ...). Any failure leaves the
// request as it stood. Returns SF_STATUS_REQ_NEXT_NOTIFICATION always.
DWORD HandleNotification(HTTP_FILTER_CONTEXT* context, DWORD notification, void* data) noexcept;

}  // namespace refwarden
