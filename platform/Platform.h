// The platform the filter runs on: the ISAPI filter records and the three
// registry functions of the trace.
//
// On Windows these are the platform's own (windows.h, httpfilt.h, advapi32).
// Elsewhere this header declares the same records, laid out as the published
// ones so that any host declaring them can drive the filter, and the registry
// functions come from the project's own stores (platform/posix).
#pragma once

#ifdef _WIN32

#include <windows.h>
// httpfilt.h needs the types of windows.h.
#include <httpfilt.h>

#else  // POSIX

#include <cstdint>
#include <string>

using DWORD = std::uint32_t;
using BOOL = std::int32_t;
using LONG = std::int32_t;
using BYTE = unsigned char;
using CHAR = char;
using VOID = void;
using PVOID = void*;
using LPVOID = void*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPDWORD = DWORD*;
using ULONG_PTR = std::uintptr_t;
using REGSAM = DWORD;
struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME;

#define WINAPI
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// ---- ISAPI filter interface ----------------------------------------------

#define SF_MAX_FILTER_DESC_LEN (256 + 1)
#define SF_NOTIFY_PREPROC_HEADERS 0x00004000
#define SF_NOTIFY_URL_MAP 0x00001000
#define SF_NOTIFY_LOG 0x00000200
#define SF_NOTIFY_ORDER_HIGH 0x00080000
#define SF_NOTIFY_ORDER_MEDIUM 0x00040000
#define SF_NOTIFY_ORDER_LOW 0x00020000
#define HTTP_FILTER_REVISION 0x00060000

enum SF_REQ_TYPE {
  SF_REQ_SEND_RESPONSE_HEADER,
  SF_REQ_ADD_HEADERS_ON_DENIAL,
  SF_REQ_SET_NEXT_READ_SIZE,
  SF_REQ_SET_PROXY_INFO,
  SF_REQ_GET_CONNID,
  SF_REQ_SET_CERTIFICATE_INFO,
  SF_REQ_GET_PROPERTY,
  SF_REQ_NORMALIZE_URL,
  SF_REQ_DISABLE_NOTIFICATIONS
};

enum SF_STATUS_TYPE {
  SF_STATUS_REQ_FINISHED = 0x8000000,
  SF_STATUS_REQ_FINISHED_KEEP_CONN,
  SF_STATUS_REQ_NEXT_NOTIFICATION,
  SF_STATUS_REQ_HANDLED_NOTIFICATION,
  SF_STATUS_REQ_ERROR,
  SF_STATUS_REQ_READ_NEXT
};

typedef struct _HTTP_FILTER_CONTEXT {
  DWORD cbSize;
  DWORD Revision;
  PVOID ServerContext;
  DWORD ulReserved;
  BOOL fIsSecurePort;
  PVOID pFilterContext;
  BOOL(WINAPI* GetServerVariable)
  (struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszVariableName, LPVOID lpvBuffer, LPDWORD lpdwSize);
  BOOL(WINAPI* AddResponseHeaders)
  (struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszHeaders, DWORD dwReserved);
  BOOL(WINAPI* WriteClient)
  (struct _HTTP_FILTER_CONTEXT* pfc, LPVOID Buffer, LPDWORD lpdwBytes, DWORD dwReserved);
  VOID*(WINAPI* AllocMem)(struct _HTTP_FILTER_CONTEXT* pfc, DWORD cbSize, DWORD dwReserved);
  BOOL(WINAPI* ServerSupportFunction)
  (struct _HTTP_FILTER_CONTEXT* pfc, enum SF_REQ_TYPE sfReq, PVOID pData, ULONG_PTR ul1,
   ULONG_PTR ul2);
} HTTP_FILTER_CONTEXT, *PHTTP_FILTER_CONTEXT;

typedef struct _HTTP_FILTER_PREPROC_HEADERS {
  BOOL(WINAPI* GetHeader)
  (struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszName, LPVOID lpvBuffer, LPDWORD lpdwSize);
  BOOL(WINAPI* SetHeader)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszName, LPSTR lpszValue);
  BOOL(WINAPI* AddHeader)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszName, LPSTR lpszValue);
  DWORD HttpStatus;
  DWORD dwReserved;
} HTTP_FILTER_PREPROC_HEADERS, *PHTTP_FILTER_PREPROC_HEADERS;

typedef struct _HTTP_FILTER_VERSION {
  DWORD dwServerFilterVersion;
  DWORD dwFilterVersion;
  CHAR lpszFilterDesc[SF_MAX_FILTER_DESC_LEN];
  DWORD dwFlags;
} HTTP_FILTER_VERSION, *PHTTP_FILTER_VERSION;

// ---- Registry ------------------------------------------------------------

#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u)))
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define DELETE 0x00010000
#define KEY_READ 0x20019
#define KEY_ALL_ACCESS 0xF003F
#define REG_OPTION_NON_VOLATILE 0
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2
#define REG_NONE 0
#define REG_SZ 1

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_WRITE_FAULT 29L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_BUSY 170L
#define ERROR_BADDB 1009L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_KEY_DELETED 1018L

// The layer's store, chosen by its name: REFWARDEN_REGISTRY when set, else
// the SQLite file $XDG_DATA_HOME/refwarden/registry.sqlite
// (~/.local/share/... without it). A name starting with "memory:" is a store
// in this process's memory (see kMemoryStoreName); any other is the path of
// a SQLite file. Every function is safe to call from any thread. Besides their own codes,
// all of them answer for the store: ERROR_ACCESS_DENIED when this account
// may not read and write it, ERROR_BADDB when it is not a store (a folder,
// device, FIFO, or a file that is not this store's database),
// ERROR_PATH_NOT_FOUND when it cannot be reached or created (a symbolic
// link to nothing), ERROR_LOCK_VIOLATION when another process held it
// locked for about a second, ERROR_BUSY for a moment after the file was
// replaced while this process still used the one before, ERROR_DISK_FULL or
// ERROR_WRITE_FAULT.

// Opens the key `lpSubKey` (backslash-separated, relative) under
// HKEY_CURRENT_USER, creating it and any missing key above it, and the store
// itself when it is missing. Returns ERROR_SUCCESS with a new handle in
// *phkResult, or a Windows error code.
LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                     LPDWORD lpdwDisposition);

// Creates the named value of the open key, or replaces its type and data.
// The empty name is the key's default value. ERROR_INVALID_HANDLE for a null
// or unknown handle.
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData);

// Releases a handle from RegCreateKeyExA or RegOpenKeyExA.
LONG RegCloseKey(HKEY hKey);

// Reading, for the tools: open an existing key (ERROR_FILE_NOT_FOUND when it
// or the whole store is missing; it creates nothing), enumerate its values in
// the order they were first written, and read one value.
LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, BYTE* lpData, LPDWORD lpcbData);
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      BYTE* lpData, LPDWORD lpcbData);

// Enumerates the open key's subkeys, in the order they were made: the name
// at `dwIndex` (*lpcchName in characters, its NUL not counted; ERROR_MORE_DATA
// when it does not fit), ERROR_NO_MORE_ITEMS past the last. No class is
// stored (an empty one is returned); *lpftLastWriteTime is set to zero.
LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                   LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);

// Removing, for the tools: one value of the open key (ERROR_FILE_NOT_FOUND
// when absent; the handle needs KEY_SET_VALUE), and the key `lpSubKey` below
// it with all its subkeys and values, or, for a null `lpSubKey`, the open
// key's own subkeys and values (the handle needs DELETE,
// KEY_ENUMERATE_SUB_KEYS and KEY_QUERY_VALUE). A handle still open on a
// deleted key answers ERROR_KEY_DELETED to a write.
LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);

// Which store the functions above use, for the tools.
namespace refwarden {

// The name that selects the memory store: a map in this process's memory,
// safe for concurrent use, without a system call per request, gone when the
// process ends. Every copy of this layer keeps its own: a library that links
// one (the filter) does not share it with the program that loads it. It
// holds at most 16 MiB of names and data; past that, a write makes its key
// forget its oldest values. Each name with this prefix is a store of its own.
inline constexpr char kMemoryStoreName[] = "memory:";

struct RegistryStoreInfo {
  std::string name;           // as chosen; empty when no store can be found
  std::string description;    // for a person: the file's path, or what the store is
  bool processLocal = false;  // a memory store: another copy of this layer sees another one
};

// The store the registry functions use now, as the environment selects it.
RegistryStoreInfo CurrentRegistryStore();

// Names the store the registry functions use from their next call on, in
// this process and in every library loaded in it (each reads the same
// environment at each call); null or "" goes back to the default file.
// Returns the name set before ("" for none), to put it back with. Not safe
// beside other threads that read or change the environment.
std::string SelectRegistryStore(const char* name);

}  // namespace refwarden

#endif  // _WIN32
