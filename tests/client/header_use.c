/* A user's file of OstrinAPI.h: every type, constant and function, compiled by header_test.cmake as
 * C89, C99, C11, C17 and C++ with all warnings as errors. Not linked. */
#ifdef OWN_WINDOWS_TYPES
/* The caller's own declarations of the Windows types, as another library's header might make them. */
#include <stdint.h>
#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef uint_least16_t WCHAR;
#endif
typedef struct _FILETIME {
  uint32_t dwLowDateTime;
  uint32_t dwHighDateTime;
} FILETIME;
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
#define OSTRIN_WINDOWS_TYPES_DECLARED 1
#endif

#include <OstrinAPI.h>
#include <OstrinAPI.h> /* twice: the include guard holds */

#if OSTRIN_API_VERSION_NUMBER != OSTRIN_API_VERSION_MAJOR * 10000 + OSTRIN_API_VERSION_MINOR * 100 + OSTRIN_API_VERSION_PATCH
#error "the version number is made of its parts"
#endif

static int32_t progress(int32_t percent, int32_t callerValue) { return percent < 100 || callerValue != 0; }

int list(void);
int list(void) {
  static const WCHAR path[] = {'\\', '*', 0};
  WCHAR text[64];
  WIN32_FIND_DATAW data;
  OST_FIND_HANDLE find;
  int32_t drive;
  int count = 0;
  OpenProgressCallback callback = progress;
  if (!OstConnect()) return -1;
  drive = OstOpenDrive((WCHAR)'C', callback, 0);
  if (drive < 0) {
    if (OstGetLastError((WCHAR)'C') == OSTRIN_ERROR_OPEN_VOLUME) count = -2;
    if (OstGetLastErrorString((WCHAR)'C', text, (uint32_t)(sizeof text / sizeof text[0])) > 0) count -= 1;
    return count;
  }
  find = OstFindFirstFile((uint32_t)drive, path, &data);
  if (find != 0) {
    do {
      if ((data.dwFileAttributes & OSTRIN_ATTRIBUTE_HAS_HARDLINKS) != 0 || data.ftLastWriteTime.dwHighDateTime != 0) {
        ++count;
      }
    } while (OstFindNextFile(find, &data));
    OstFindClose(find);
  }
  if (OstGetMemoryUsage((uint32_t)drive) == 0 || OstGetLastError((WCHAR)'C') == OSTRIN_ERROR_IMAGE_CORRUPT) ++count;
  OstCloseDrive((uint32_t)drive);
  OstDisconnect();
  return count + OSTRIN_API_SERVICE_PORT + (int)sizeof(OSTRIN_API_SERVICE_HOST OSTRIN_API_VERSION_STRING);
}
