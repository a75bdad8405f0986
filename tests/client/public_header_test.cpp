// The error codes that OstrinAPI.h names for the volume reader, the scan and the image, held by name
// against the service's own tables (the library cannot include those; it checks the rest itself, in
// client/public_constants.cpp). check_error_codes.cmake checks that no code is left out.
#include "client/OstrinAPI.h"
#include "index/index_errors.h"
#include "ntfs/ntfs_errors.h"

static_assert(OSTRIN_ERROR_VOLUME_NAME == ERROR_VOLUME_NAME.code);
static_assert(OSTRIN_ERROR_OPEN_VOLUME == ERROR_OPEN_VOLUME.code);
static_assert(OSTRIN_ERROR_READ_BOOT_SECTOR == ERROR_READ_BOOT_SECTOR.code);
static_assert(OSTRIN_ERROR_NOT_NTFS == ERROR_NOT_NTFS.code);
static_assert(OSTRIN_ERROR_NO_VOLUME_INFO == ERROR_NO_VOLUME_INFO.code);
static_assert(OSTRIN_ERROR_OLD_NTFS_VERSION == ERROR_OLD_NTFS_VERSION.code);
static_assert(OSTRIN_ERROR_NO_MFT_DATA == ERROR_NO_MFT_DATA.code);
static_assert(OSTRIN_ERROR_READ_DATA == ERROR_READ_DATA.code);
static_assert(OSTRIN_ERROR_PARSE_RECORD == ERROR_PARSE_RECORD.code && OSTRIN_ERROR_PARSE_RECORD == ERROR_PARSE_ATTRIBUTES.code);
static_assert(OSTRIN_ERROR_NO_FILE_NAME == ERROR_NO_FILE_NAME.code);
static_assert(OSTRIN_ERROR_SECTION_SECURITY == ERROR_SECTION_SECURITY.code);
static_assert(OSTRIN_ERROR_SECTION_CREATE == ERROR_SECTION_CREATE.code);
static_assert(OSTRIN_ERROR_SECTION_MAP == ERROR_SECTION_MAP.code);
static_assert(OSTRIN_ERROR_LOAD_VOLUME_RECORD == ERROR_LOAD_VOLUME_RECORD.code);
static_assert(OSTRIN_ERROR_LOAD_MFT_RECORD == ERROR_LOAD_MFT_RECORD.code);
static_assert(OSTRIN_ERROR_BAD_GEOMETRY == ERROR_BAD_GEOMETRY.code);
static_assert(OSTRIN_ERROR_BUILD_OUT_OF_MEMORY == ERROR_BUILD_OUT_OF_MEMORY.code);
static_assert(OSTRIN_ERROR_BUILD_FAILED == ERROR_BUILD_FAILED.code);
static_assert(OSTRIN_ERROR_MFT_DOES_NOT_FIT == ERROR_MFT_DOES_NOT_FIT.code);
