/* OstrinAPI: lists the files and directories of NTFS volumes that the OstrinNT service has indexed.
 *
 * A program connects once (OstConnect), opens a drive by its letter (OstOpenDrive, which may scan the
 * volume first and reports the scan's progress), lists any directory of it with OstFindFirstFile /
 * OstFindNextFile / OstFindClose straight from the drive's image mapped into the process, closes the
 * drive (OstCloseDrive) and disconnects (OstDisconnect). Every drive keeps its last error code and
 * text (OstGetLastError, OstGetLastErrorString). The library has no threads and no locks: call it from
 * one thread at a time.
 *
 * Plain C; text is UTF-16 on every platform. */
#ifndef OSTRIN_API_H
#define OSTRIN_API_H

#include <stdint.h>

#if defined(_WIN32)
#include <windows.h>
#else
#ifndef __cplusplus
#include <uchar.h>
#endif

/* A UTF-16 code unit. */
typedef char16_t WCHAR;

/* 100-nanosecond intervals since 1601-01-01, split in two 32-bit halves. */
typedef struct _FILETIME {
  uint32_t dwLowDateTime;
  uint32_t dwHighDateTime;
} FILETIME;

/* The find-data record, laid out as on Windows (592 bytes). */
typedef struct _WIN32_FIND_DATAW {
  uint32_t dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  uint32_t nFileSizeHigh;
  uint32_t nFileSizeLow;
  uint32_t dwReserved0;
  uint32_t dwReserved1;
  WCHAR cFileName[260];
  WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW;
#endif

#if defined(__cplusplus)
static_assert(sizeof(WCHAR) == 2, "WCHAR is a UTF-16 code unit");
static_assert(sizeof(WIN32_FIND_DATAW) == 592, "WIN32_FIND_DATAW has the Windows layout");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(WCHAR) == 2, "WCHAR is a UTF-16 code unit");
_Static_assert(sizeof(WIN32_FIND_DATAW) == 592, "WIN32_FIND_DATAW has the Windows layout");
#endif

#if defined(_WIN32)
#if defined(OSTRIN_API_BUILD)
#define OSTRIN_API __declspec(dllexport)
#else
#define OSTRIN_API __declspec(dllimport)
#endif
#else
#define OSTRIN_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Called during OstOpenDrive with the scan's whole percentage and the caller's value; returning 0 asks
 * the service to abort the open. */
typedef int32_t (*OpenProgressCallback)(int32_t percent, int32_t callerValue);

/* A running find; opaque. */
typedef struct OstFindHandle* OST_FIND_HANDLE;

/* Connects to the service on 127.0.0.1:49020 and greets it. 1 on success; 0 after the user has been
 * shown why it failed. */
OSTRIN_API int32_t OstConnect(void);
/* Says goodbye to the service. 1 when it acknowledged, 0 when the exchange failed. */
OSTRIN_API int32_t OstDisconnect(void);

/* The last error code of the drive with this letter (either case); 0 for none, 3000 for a letter
 * outside A..Z. */
OSTRIN_API int32_t OstGetLastError(WCHAR letter);
/* The length of the drive's last error text plus 1; -1 for a letter outside A..Z. When buffer is not
 * null and capacity is at least that length, the text is copied into it with its terminator. */
OSTRIN_API int32_t OstGetLastErrorString(WCHAR letter, WCHAR* buffer, uint32_t capacity);

/* Opens (and when needed scans) the drive and maps its image. The drive index (0 for A .. 25 for Z),
 * or -1; the reason is the drive's last error (0 after an abort). */
OSTRIN_API int32_t OstOpenDrive(WCHAR letter, OpenProgressCallback callback, int32_t callerValue);
/* Unmaps the drive and ends this program's use of it at the service. 1 when the close was carried
 * out, 0 for an index above 25 or a communication failure. */
OSTRIN_API int32_t OstCloseDrive(uint32_t driveIndex);
/* Size in bytes of the drive's image from its last open; 0 for an index above 25. */
OSTRIN_API uint64_t OstGetMemoryUsage(uint32_t driveIndex);

/* Finds the first entry matching filePath ("\dir\sub\pattern", optionally after "X:"; '*' and '?' in
 * the last component) and fills findFileData. The first 8 bytes of cAlternateFileName hold the
 * entry's allocated size, high 32 bits first. Null when nothing matches or on an error (the drive's
 * last error tells which). */
OSTRIN_API OST_FIND_HANDLE OstFindFirstFile(uint32_t driveIndex, const WCHAR* filePath,
                                            WIN32_FIND_DATAW* findFileData);
/* The next match of the same find: 1 with findFileData filled, 0 when there is none or on an error. */
OSTRIN_API int32_t OstFindNextFile(OST_FIND_HANDLE handle, WIN32_FIND_DATAW* findFileData);
/* Frees a find handle; null is ignored. */
OSTRIN_API void OstFindClose(OST_FIND_HANDLE handle);

#ifdef __cplusplus
}
#endif

#endif /* OSTRIN_API_H */
