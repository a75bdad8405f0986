// The journal controls on a Windows volume device.
#include "platform/volume_journal.h"

#include <windows.h>
#include <winioctl.h>

#include <cstring>

#include "platform/win32/usn_controls.h"

namespace ostrin::platform {
namespace {

// The records one read asks for at most.
constexpr DWORD READ_BUFFER_SIZE = 64 * 1024;
// A file record is at most this large (the largest record size NTFS formats).
constexpr DWORD MAX_FILE_RECORD_SIZE = 64 * 1024;

EJournalControl Failure(uint32_t* systemError) {
  const DWORD error = GetLastError();
  if (systemError != nullptr) *systemError = error;
  switch (error) {
    case ERROR_JOURNAL_NOT_ACTIVE: return EJournalControl::NotActive;
    case ERROR_JOURNAL_DELETE_IN_PROGRESS: return EJournalControl::DeleteInProgress;
    case ERROR_JOURNAL_ENTRY_DELETED: return EJournalControl::EntryDeleted;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
    case ERROR_INVALID_PARAMETER: return EJournalControl::NotSupported;
    default: return EJournalControl::Failed;
  }
}

// The device's handle, or null with "not supported" for bytes that are not a device of the system's.
HANDLE DeviceHandle(const CVolumeDevice& device, uint32_t* systemError) {
  HANDLE handle = static_cast<HANDLE>(device.NativeHandle());
  if (handle == nullptr && systemError != nullptr) *systemError = ERROR_NOT_SUPPORTED;
  return handle;
}

}  // namespace

EJournalControl QueryUsnJournal(const CVolumeDevice& device, SJournalQuery* query, uint32_t* systemError) {
  HANDLE handle = DeviceHandle(device, systemError);
  if (handle == nullptr) return EJournalControl::NotSupported;
  win32::USN_JOURNAL_DATA_V2 data{};
  DWORD returned = 0;
  if (!DeviceIoControl(handle, FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &data, sizeof data, &returned, nullptr)) {
    return Failure(systemError);
  }
  if (returned < win32::USN_JOURNAL_DATA_V0_SIZE) {
    if (systemError != nullptr) *systemError = ERROR_INVALID_DATA;
    return EJournalControl::Failed;
  }
  *query = SJournalQuery{};
  query->journalId = data.UsnJournalID;
  query->firstUsn = static_cast<uint64_t>(data.FirstUsn);
  query->nextUsn = static_cast<uint64_t>(data.NextUsn);
  query->lowestValidUsn = static_cast<uint64_t>(data.LowestValidUsn);
  query->maxUsn = static_cast<uint64_t>(data.MaxUsn);
  query->maximumSize = data.MaximumSize;
  query->allocationDelta = data.AllocationDelta;
  if (returned >= win32::USN_JOURNAL_DATA_V1_SIZE) {
    query->minSupportedMajorVersion = data.MinSupportedMajorVersion;
    query->maxSupportedMajorVersion = data.MaxSupportedMajorVersion;
  }
  if (systemError != nullptr) *systemError = 0;
  return EJournalControl::Done;
}

EJournalControl ReadUsnJournal(const CVolumeDevice& device, uint64_t journalId, uint64_t startUsn,
                               std::vector<uint8_t>* records, uint64_t* nextUsn, uint32_t* systemError) {
  HANDLE handle = DeviceHandle(device, systemError);
  if (handle == nullptr) return EJournalControl::NotSupported;
  win32::READ_USN_JOURNAL_DATA_V1 input{};
  input.StartUsn = static_cast<int64_t>(startUsn);
  input.ReasonMask = 0xFFFFFFFF;
  input.UsnJournalID = journalId;
  input.MinMajorVersion = 2;
  input.MaxMajorVersion = 4;
  std::vector<uint8_t> buffer(READ_BUFFER_SIZE);
  DWORD returned = 0;
  if (!DeviceIoControl(handle, FSCTL_READ_USN_JOURNAL, &input, sizeof input, buffer.data(), READ_BUFFER_SIZE,
                       &returned, nullptr)) {
    return Failure(systemError);
  }
  if (returned < sizeof(uint64_t) || returned > READ_BUFFER_SIZE) {
    if (systemError != nullptr) *systemError = ERROR_INVALID_DATA;
    return EJournalControl::Failed;
  }
  std::memcpy(nextUsn, buffer.data(), sizeof(uint64_t));
  records->assign(buffer.begin() + sizeof(uint64_t), buffer.begin() + returned);
  if (systemError != nullptr) *systemError = 0;
  return EJournalControl::Done;
}

EJournalControl GetNtfsFileRecord(const CVolumeDevice& device, uint64_t recordNumber, std::vector<uint8_t>* record,
                                  uint64_t* returnedRecord, uint32_t* systemError) {
  HANDLE handle = DeviceHandle(device, systemError);
  if (handle == nullptr) return EJournalControl::NotSupported;
  win32::NTFS_FILE_RECORD_INPUT input{static_cast<int64_t>(recordNumber)};
  std::vector<uint8_t> buffer(offsetof(win32::NTFS_FILE_RECORD_OUTPUT_HEAD, FileRecordBuffer) + MAX_FILE_RECORD_SIZE);
  DWORD returned = 0;
  if (!DeviceIoControl(handle, FSCTL_GET_NTFS_FILE_RECORD, &input, sizeof input, buffer.data(),
                       static_cast<DWORD>(buffer.size()), &returned, nullptr)) {
    return Failure(systemError);
  }
  constexpr size_t head = offsetof(win32::NTFS_FILE_RECORD_OUTPUT_HEAD, FileRecordBuffer);
  int64_t reference = 0;
  uint32_t length = 0;
  std::memcpy(&reference, buffer.data(), sizeof reference);
  std::memcpy(&length, buffer.data() + offsetof(win32::NTFS_FILE_RECORD_OUTPUT_HEAD, FileRecordLength), sizeof length);
  if (returned < head || length > returned - head) {
    if (systemError != nullptr) *systemError = ERROR_INVALID_DATA;
    return EJournalControl::Failed;
  }
  *returnedRecord = static_cast<uint64_t>(reference) & 0x0000FFFFFFFFFFFFull;
  record->assign(buffer.begin() + head, buffer.begin() + head + length);
  if (systemError != nullptr) *systemError = 0;
  return EJournalControl::Done;
}

}  // namespace ostrin::platform
