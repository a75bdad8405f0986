// Failures of the volume reader and of the MFT scan, as reported to clients.
#pragma once

#include "common/error_text.h"

// Opening a volume.
inline constexpr CErrorText ERROR_VOLUME_NAME = {2, WTEXT("Volume name error, should be like 'C', 'D'.")};
inline constexpr CErrorText ERROR_OPEN_VOLUME = {3, WTEXT("Open volume error.")};
inline constexpr CErrorText ERROR_READ_BOOT_SECTOR = {4, WTEXT("Read boot sector error.")};
inline constexpr CErrorText ERROR_NOT_NTFS = {5, WTEXT("Volume file system is not NTFS.")};
inline constexpr CErrorText ERROR_NO_VOLUME_INFO = {6, WTEXT("Could not find volume info attribute.")};
inline constexpr CErrorText ERROR_OLD_NTFS_VERSION = {7, WTEXT("NTFS version lower than 3.0.")};
inline constexpr CErrorText ERROR_NO_MFT_DATA = {8, WTEXT("Could not parse master file table attribute.")};
// An open must never succeed without the volume record or the MFT's own record.
inline constexpr CErrorText ERROR_LOAD_VOLUME_RECORD = {15, WTEXT("Could not load the volume file record.")};
inline constexpr CErrorText ERROR_LOAD_MFT_RECORD = {16, WTEXT("Could not load the master file table record.")};
// Sizes in the boot sector that no NTFS volume has (they would make every later read meaningless).
inline constexpr CErrorText ERROR_BAD_GEOMETRY = {17, WTEXT("Boot sector geometry is not valid.")};

// The MFT's data claims more than the volume can hold: a size beyond the volume, clusters that are
// not stored (sparse), or the same clusters twice. Reading it would take without bound.
inline constexpr CErrorText ERROR_MFT_DOES_NOT_FIT = {20, WTEXT("Master file table does not fit the volume.")};

// Scanning the MFT.
inline constexpr CErrorText ERROR_READ_DATA = {9, WTEXT("Read data error")};
inline constexpr CErrorText ERROR_PARSE_RECORD = {10, WTEXT("Cannot parse File Record")};
inline constexpr CErrorText ERROR_PARSE_ATTRIBUTES = {10, WTEXT("Cannot parse attributes")};
inline constexpr CErrorText ERROR_NO_FILE_NAME = {11, WTEXT("Cannot find filename attribute")};
