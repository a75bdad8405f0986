/* OstrinAPI.h: the C interface of OstrinAPI, the client library of the OstrinNT service.
 *
 * OstrinNT indexes NTFS volumes: asked to open a drive, it reads the volume's master file table,
 * builds the tree of every file and directory with their attributes, sizes and times, and publishes
 * it as a read-only image in named shared memory. OstrinAPI lets a program use those images: it talks
 * to the service over TCP on 127.0.0.1, port 49020, maps a drive's image into the process and answers
 * find-first / find-next queries straight from it, with no further word to the service.
 *
 * A program's use, in order:
 *
 *   OstConnect()                            once, before any drive function
 *   index = OstOpenDrive('C', progress, 0)  scans the drive when needed; index 0 ('A') .. 25 ('Z')
 *   find = OstFindFirstFile(index, u"\\Windows\\*.exe", &data)        (L"..." on Windows)
 *   while (OstFindNextFile(find, &data)) ...
 *   OstFindClose(find)
 *   OstCloseDrive(index)
 *   OstDisconnect()
 *
 * Errors. Each drive letter has a last error: a code and a text. Every drive function clears it when
 * it starts and stores the reason when it fails; OstGetLastError and OstGetLastErrorString read it.
 * The codes are the OSTRIN_ERROR_ constants below. A function that finds nothing without an error
 * (no entry matches a pattern) leaves the code 0, which is how a caller tells a miss from a failure.
 *
 * Threads. The library starts no threads and takes no locks. It holds one connection for the whole
 * process and one error record per letter, so it must be called from one thread at a time: from any
 * thread, but never from two at once (a program that uses it from several threads puts one lock of
 * its own around every call). The progress callback of OstOpenDrive runs on the calling thread.
 *
 * Text is UTF-16 on every platform: WCHAR is wchar_t on Windows and a 16-bit unsigned type elsewhere
 * (char16_t in C++, so u"..." literals fit; uint_least16_t, the type of u"..." in C11, in C).
 *
 * Using it: link with -lOstrinAPI (pkg-config --cflags --libs OstrinAPI), or in CMake
 * find_package(OstrinAPI) and target_link_libraries(<target> PRIVATE Ostrin::OstrinAPI). On Windows
 * link with the import library of OstrinAPI.dll. The header is C89 and later, and C++11 and later. */
#ifndef OSTRIN_API_H
#define OSTRIN_API_H

#include <stdint.h>

/* ---- Version of this header and of the library built with it. Compare with OSTRIN_API_VERSION_NUMBER,
 * e.g. #if OSTRIN_API_VERSION_NUMBER >= 10100 for 1.1.0 and later. */
#define OSTRIN_API_VERSION_MAJOR 1
#define OSTRIN_API_VERSION_MINOR 1
#define OSTRIN_API_VERSION_PATCH 0
#define OSTRIN_API_VERSION_NUMBER \
  (OSTRIN_API_VERSION_MAJOR * 10000 + OSTRIN_API_VERSION_MINOR * 100 + OSTRIN_API_VERSION_PATCH)
#define OSTRIN_API_VERSION_STRING "1.1.0"

/* The service's address. The library always connects there; a service configured with another port
 * in its OstrinNT.ini is not reached. */
#define OSTRIN_API_SERVICE_HOST "127.0.0.1"
#define OSTRIN_API_SERVICE_PORT 49020

/* ---- Types. On Windows they are the SDK's. Elsewhere the header declares WCHAR, FILETIME and
 * WIN32_FIND_DATAW with the Windows layout, unless they are declared already: by Windows-compatible
 * headers (which define _WINBASE_ or _MINWINBASE_), or by the caller, who then defines
 * OSTRIN_WINDOWS_TYPES_DECLARED before including this header. The header defines that macro when it
 * declares the types itself. */
#if defined(_WIN32)
#include <windows.h>
#elif !defined(OSTRIN_WINDOWS_TYPES_DECLARED) && !defined(_WINBASE_) && !defined(_MINWINBASE_)
#define OSTRIN_WINDOWS_TYPES_DECLARED 1

/* A UTF-16 code unit. */
#if defined(__cplusplus)
typedef char16_t WCHAR;
#else
typedef uint_least16_t WCHAR;
#endif

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
#else
typedef char OstrinApiCheckWcharSize[sizeof(WCHAR) == 2 ? 1 : -1];
typedef char OstrinApiCheckFindDataSize[sizeof(WIN32_FIND_DATAW) == 592 ? 1 : -1];
#endif

/* ---- Error codes: what OstGetLastError returns, with the text OstGetLastErrorString gives.
 * Below 1000 the volume, its scan and the image (the service; the text of those marked "+ system"
 * ends with the system's own text of the cause), 2000 to 2999 the service's command server, 3000 and
 * up the library itself. A newer service may send codes not listed here; they keep to these ranges. */
#define OSTRIN_ERROR_NONE                      0  /* no error: the last call succeeded or found nothing */
#define OSTRIN_ERROR_VOLUME_NAME               2  /* the volume reader got no letter A..Z */
#define OSTRIN_ERROR_OPEN_VOLUME               3  /* the volume cannot be opened (+ system); on Linux also: no volume.X key maps the letter in the service's OstrinNT.ini */
#define OSTRIN_ERROR_READ_BOOT_SECTOR          4  /* the boot sector cannot be read (+ system) */
#define OSTRIN_ERROR_NOT_NTFS                  5  /* the volume is not NTFS */
#define OSTRIN_ERROR_NO_VOLUME_INFO            6  /* the volume has no volume information attribute */
#define OSTRIN_ERROR_OLD_NTFS_VERSION          7  /* the volume's NTFS version is below 3.0 */
#define OSTRIN_ERROR_NO_MFT_DATA               8  /* the master file table's own data cannot be parsed */
#define OSTRIN_ERROR_READ_DATA                 9  /* a read of the master file table failed during the scan */
#define OSTRIN_ERROR_PARSE_RECORD             10  /* too many file records are damaged (over 16 and over 1 % of those in use) */
#define OSTRIN_ERROR_NO_FILE_NAME             11  /* a file record in use has no file name (this service skips such records and never sends 11) */
#define OSTRIN_ERROR_SECTION_SECURITY         12  /* Windows: the shared image's security descriptor cannot be made (+ system) */
#define OSTRIN_ERROR_SECTION_CREATE           13  /* the shared image cannot be created (+ system) */
#define OSTRIN_ERROR_SECTION_MAP              14  /* the service cannot map the shared image to write it (+ system) */
#define OSTRIN_ERROR_LOAD_VOLUME_RECORD       15  /* the volume's own file record cannot be read */
#define OSTRIN_ERROR_LOAD_MFT_RECORD          16  /* the master file table's own record cannot be read */
#define OSTRIN_ERROR_BAD_GEOMETRY             17  /* the boot sector gives sizes no NTFS volume has */
#define OSTRIN_ERROR_BUILD_OUT_OF_MEMORY      18  /* the service ran out of memory building the index */
#define OSTRIN_ERROR_BUILD_FAILED             19  /* the service failed unexpectedly building the index */
#define OSTRIN_ERROR_MFT_DOES_NOT_FIT         20  /* the master file table claims more than the volume holds (size, sparse or repeated clusters) */
#define OSTRIN_ERROR_LETTER_OUT_OF_RANGE    2000  /* the service got a letter outside A..Z */
#define OSTRIN_ERROR_PROTOCOL_MAGIC_BAD     2001  /* OstConnect's greeting was refused; never stored (OstConnect shows it) */
#define OSTRIN_ERROR_WRONG_PROTOCOL_VERSION 2002  /* the service speaks another protocol version; never stored (as 2001) */
#define OSTRIN_ERROR_NOT_AUTHENTICATED      2004  /* a command came before the greeting (a connection not made by OstConnect) */
#define OSTRIN_ERROR_OPEN_THREAD_FAILED     2005  /* the service cannot start the open of a drive */
#define OSTRIN_ERROR_OPEN_IN_PROGRESS       2006  /* OstCloseDrive or the end of an open waited 3 s for another open of the drive */
#define OSTRIN_ERROR_SERVICE_DRIVE_NOT_OPEN 2007  /* the service has no image of the drive when the open asks for it */
#define OSTRIN_ERROR_UNKNOWN_COMMAND        2008  /* the service got a command it does not know */
#define OSTRIN_ERROR_ACCESS_DENIED          2009  /* the service's access rule does not let this program's user read the drive (nothing was scanned) */
#define OSTRIN_ERROR_NOT_A_DRIVE_LETTER     3000  /* OstGetLastError's answer for a letter outside A..Z; never stored */
#define OSTRIN_ERROR_DRIVE_NOT_OPEN         3001  /* a find on a drive not open, or a find handle from before its drive's close */
#define OSTRIN_ERROR_PATH_EMPTY             3002  /* OstFindFirstFile: filePath is null or empty */
#define OSTRIN_ERROR_PATH_NO_BACKSLASH      3003  /* OstFindFirstFile: filePath does not start with '\' (after an optional "X:") */
#define OSTRIN_ERROR_FIND_DATA_NULL         3004  /* OstFindFirstFile or OstFindNextFile: findFileData is null */
#define OSTRIN_ERROR_PATH_MALFORMED         3005  /* OstFindFirstFile: filePath has an empty component ("\\" in a row) */
#define OSTRIN_ERROR_INVALID_PATH           3006  /* OstFindFirstFile: a directory component of filePath names a file */
#define OSTRIN_ERROR_OPEN_MAPPING_FAILED    3007  /* OstOpenDrive: the drive's shared image cannot be opened */
#define OSTRIN_ERROR_MAP_VIEW_FAILED        3008  /* OstOpenDrive: the drive's shared image cannot be mapped */
#define OSTRIN_ERROR_COMMUNICATION          3009  /* the connection to the service failed, timed out or was never made */
#define OSTRIN_ERROR_IMAGE_CORRUPT          3010  /* a find met a drive image that breaks its own layout; nothing outside it was read */

/* ---- Attribute bits of WIN32_FIND_DATAW.dwFileAttributes beyond the Windows file attributes. */
#define OSTRIN_ATTRIBUTE_HAS_HARDLINKS 0x40000000u /* the file has two or more names */

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

/* The progress callback of OstOpenDrive. percent is a whole percentage: while the service scans,
 * rising values below 100, each once; then 100 when the image is written, and 100 once more when the
 * library has mapped it (for a drive whose image exists already, only that last 100). callerValue is
 * OstOpenDrive's own argument. Return 0 to ask the service to abort the scan, anything else to go on;
 * an abort is a request: a scan that ends first still opens the drive.
 *
 * It runs on the thread that called OstOpenDrive, in the middle of the exchange with the service. It
 * must not call any function of this library, must not leave by longjmp or a C++ exception, and
 * should return soon: the service's messages wait until it does. */
typedef int32_t (*OpenProgressCallback)(int32_t percent, int32_t callerValue);

/* A running find: made by OstFindFirstFile, owned by the caller until OstFindClose; opaque. */
typedef struct OstFindHandle* OST_FIND_HANDLE;

/* ---- Connection. */

/* Connects to the service and greets it. Call it once before any drive function; calling it again
 * replaces the connection with a new one (a program may reconnect after the service restarted).
 *
 * Returns 1 when connected, 0 on failure. A failure is not stored anywhere: the user is shown why,
 * with one of the OSTRIN_MESSAGE_ texts below, captioned "Error:". On Windows this is a message box
 * with the error icon, application-modal with no owner window: the call does not return until the
 * user dismisses it, so a program without a user (a service, a script) should find out first that
 * something listens on the port. Elsewhere the text is written as one line, "Error: <text>" with its
 * line feeds made blanks, to standard error, and the call returns at once. Each wait for the service
 * lasts at most 30 seconds. */
OSTRIN_API int32_t OstConnect(void);

/* What OstConnect shows when it fails. */
#define OSTRIN_MESSAGE_SOCKETS_UNAVAILABLE "OstrinNT: Can not initialize Windows Sockets."
#define OSTRIN_MESSAGE_CANNOT_CONNECT "Can not connect to OstrinNT service.\n\nIs the service running?" /* nothing listens */
#define OSTRIN_MESSAGE_PROTOCOL_ERROR "OstrinNT protocol error."           /* the service refused the greeting */
#define OSTRIN_MESSAGE_COMMUNICATION_ERROR "OstrinNT communication error." /* the greeting was not answered */

/* Says goodbye to the service. Close the drives first (OstCloseDrive): their records are not touched.
 * The connection is closed either way (OstConnect makes a new one).
 * Returns 1 when the service acknowledged, 0 when the exchange failed (also without a connection).
 * Find handles stay valid objects to close. */
OSTRIN_API int32_t OstDisconnect(void);

/* ---- Errors of a drive. Both may be called at any time, also before OstConnect, and change nothing. */

/* The last error code of the drive with this letter ('c' and 'C' are the same drive; the letter is
 * upper-cased with the current locale's towupper): 0 for none, one of the OSTRIN_ERROR_ codes, or
 * OSTRIN_ERROR_NOT_A_DRIVE_LETTER (3000) for a letter outside A..Z. */
OSTRIN_API int32_t OstGetLastError(WCHAR letter);

/* The drive's last error text. Returns its size in WCHARs with the terminator (1 for no error), or -1
 * for a letter outside A..Z. When buffer is not null and capacity (in WCHARs) is at least that size,
 * the text and its terminator are copied into it; a smaller buffer gets only a terminator in its first
 * element (when capacity > 0): the text is never cut. Ask with a null buffer first for the size. */
OSTRIN_API int32_t OstGetLastErrorString(WCHAR letter, WCHAR* buffer, uint32_t capacity);

/* ---- Drives. */

/* Opens a drive: asks the service to open it (the service scans the volume unless it holds the
 * drive's image already, from this or another program), follows the scan's progress, and maps the
 * image read-only into the process. letter is 'A'..'Z' in either case; callback may be null;
 * callerValue is passed to it unchanged.
 *
 * Returns the drive index, 0 for A to 25 for Z, which the other drive functions take; -1 on failure
 * with the reason as the drive's last error: the service's codes (2 to 20, 2000 to 2009), 3007, 3008,
 * or 3009 when the connection failed, or 0 when the scan was aborted (by the callback, or by the
 * service as it stops). A letter outside A..Z returns -1 and stores nothing. A silent service fails
 * the open after five 30-second waits in a row.
 *
 * Each successful open counts this program once as a user of the drive at the service, which keeps
 * the image while it has users (and frees it after four hours without use); match each one with
 * OstCloseDrive. Opening a drive that is open already replaces its mapping: find handles made on the
 * earlier one are dead from then on. */
OSTRIN_API int32_t OstOpenDrive(WCHAR letter, OpenProgressCallback callback, int32_t callerValue);

/* Closes a drive: unmaps its image and ends this program's use of it at the service. Every find
 * handle of the drive is dead from then on: OstFindNextFile on it returns 0 with 3001 (close it still,
 * with OstFindClose).
 *
 * Returns 1 when the service answered, also with a refusal (stored, e.g. 2006 while another open of
 * the drive runs), and for a drive this program holds no open of (nothing is sent); 0 for an index
 * above 25 (nothing stored) or when the connection failed (3009 stored). The mapping is gone in every
 * case. The opens a connection still holds end with it (OstDisconnect, or the program's end). */
OSTRIN_API int32_t OstCloseDrive(uint32_t driveIndex);

/* The size in bytes of the drive's image from its last successful open (kept after OstCloseDrive);
 * 0 for an index above 25 or a drive never opened. Clears the drive's last error. */
OSTRIN_API uint64_t OstGetMemoryUsage(uint32_t driveIndex);

/* ---- Finding entries: walks the mapped image in this process, with no word to the service. */

/* Finds the first entry that matches filePath on an open drive and fills *findFileData with it.
 *
 * filePath is "\", then zero or more directory names each followed by "\", then a pattern, from the
 * drive's root: "\Windows\System32\*.dll". It may start with a drive prefix "X:" (the letter is not
 * compared). Directory names are compared whole, '*' and '?' in them included (NTFS names may hold
 * them); the pattern matches with '*' (any run, also none) and '?' (one unit); "*.*" means "*". A '?'
 * that follows a '*' is dropped with every further '*' and '?' of that run, so "*????" and "*?.txt"
 * match as "*" and "*.txt" do (a run of them is one '*'); a '?' that no '*' precedes still takes one
 * unit ("a?c" matches "abc", not "ac"). Both
 * compare without case as NTFS compares names: each UTF-16 unit upper-cased through the $UpCase table
 * that Windows 8 and later write on a volume ("ÜNÏCÖDÉ" finds "ünïcödé"), which is not Unicode's case
 * folding: the Kelvin sign U+212A is not "K", the long s U+017F is not "s", and the final sigma U+03C2
 * is not "σ" or "Σ". Where names of one
 * directory differ only in case (POSIX names, written from Linux or WSL: "Sub" and "sub"), a
 * directory name takes the entry it equals exactly, and otherwise the first it equals without case.
 * A filePath that ends with "\" after a name ("\Windows\") finds that entry itself. No entries for
 * "." and ".." exist.
 * Entries come in the image's order: a directory's subdirectories first, then its files.
 *
 * *findFileData: dwFileAttributes (0x10 directory; OSTRIN_ATTRIBUTE_HAS_HARDLINKS), the three times as
 * the service scanned them (already in the service's local time, by the zone's offset when it
 * scanned: not UTC), nFileSizeHigh/Low (0 for a directory), cFileName with its terminator, and the
 * entry's allocated size in the first 8 bytes of cAlternateFileName as two 32-bit words, high word
 * first (0 for a directory); the rest of cAlternateFileName is left as it was, dwReserved0/1 are 0.
 *
 * Returns a new handle for OstFindNextFile, or null: when nothing matches, or for filePath "\" alone
 * (last error 0), or on an error (3001 drive not open, 3002 empty path, 3003 no leading "\", 3004
 * findFileData null, 3005 empty component, 3006 a directory component is a file, 3010 corrupt image).
 * An index above 25 returns null and stores nothing. */
OSTRIN_API OST_FIND_HANDLE OstFindFirstFile(uint32_t driveIndex, const WCHAR* filePath,
                                            WIN32_FIND_DATAW* findFileData);

/* Fills *findFileData with the next entry of the handle's directory that matches its pattern.
 * Returns 1 when it did, 0 when there is none (the record is left as it was, last error 0, and every
 * later call returns 0 too), for a null handle (nothing stored), or on an error: 3001 when the drive
 * was closed or reopened since OstFindFirstFile, 3004 for a null findFileData, 3010 corrupt image. */
OSTRIN_API int32_t OstFindNextFile(OST_FIND_HANDLE handle, WIN32_FIND_DATAW* findFileData);

/* Frees a find handle; null is ignored. Every handle is freed this way, also one whose drive has been
 * closed; a freed handle must not be used again. */
OSTRIN_API void OstFindClose(OST_FIND_HANDLE handle);

#ifdef __cplusplus
}
#endif

#endif /* OSTRIN_API_H */
