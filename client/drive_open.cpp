// OstOpenDrive, OstCloseDrive and OstGetMemoryUsage: a drive's open at the service, with its
// progress, and the read-only mapping of the drive's image.
#include <algorithm>

#include "client/OstrinAPI.h"
#include "client/client_errors.h"
#include "client/client_state.h"
#include "common/exceptions.h"
#include "common/protocol.h"

namespace {

// Consecutive failed waits for a message of a running open after which the open fails. With the
// stream's 30-second waits a silent service fails the open after about 150 seconds.
constexpr int MAX_OPEN_WAITS = 5;

// Ends an open that cannot finish: keeps the error that made it fail, releases the view, gives this
// open's use of the drive back to the service when it had been counted in, and closes the record.
void FailDrive(DriveRecord& drive, uint32_t letter, int32_t code, const WString& text) {
  drive.StoreError(code, text);
  drive.ReleaseView();
  if (drive.state == DriveState::Open && drive.serviceUses > 0 && !g_Connection.closed) {
    try {
      WriteLetterCommand(g_Connection, ECommand::CloseDrive, letter);
      // An error reply here is dropped: the stored error is the open's.
      if (ReadReply(g_Connection).IsAck()) --drive.serviceUses;
    } catch (const CException&) {
    }
  }
  drive.state = DriveState::Closed;
}

void FailDrive(DriveRecord& drive, uint32_t letter, const CErrorText& error) {
  FailDrive(drive, letter, error.code, error.Text());
}

// Reads the code of the next message of a running open, waiting again after a failed wait as long as
// fewer than MAX_OPEN_WAITS failed in a row.
uint32_t ReadOpenMessageCode() {
  for (int failedWaits = 0;;) {
    if (g_Connection.closed) ThrowError<CSockException>(SOCK_INVALID_SOCKET);
    try {
      return g_Connection.ReadU32();
    } catch (const CSockException&) {
      if (++failedWaits >= MAX_OPEN_WAITS) ThrowError<CSockException>(SOCK_READ_TIMEOUT);
    }
  }
}

// Asks for the drive's image and maps it; true when the view stands.
bool MapDriveImage(DriveRecord& drive, uint32_t letter) {
  WriteLetterCommand(g_Connection, ECommand::OstrinReadDir, letter);
  const CReply reply = ReadReply(g_Connection);
  if (!reply.IsAck()) {
    FailDrive(drive, letter, reply.error.code, reply.error.text);
    return false;
  }
  const CReadDirBody image = ReadReadDirBody(g_Connection);
  drive.memoryUsage = image.imageSize;
  if (!drive.mapping.Open(image.sectionName)) {
    FailDrive(drive, letter, CLIENT_OPEN_MAPPING_FAILED);
    return false;
  }
  if (!drive.mapping.Map()) {
    FailDrive(drive, letter, CLIENT_MAP_VIEW_FAILED);
    return false;
  }
  drive.SetView(static_cast<const unsigned char*>(drive.mapping.Data()), drive.mapping.Size(), image.imageSize);
  return true;
}

int32_t OpenDrive(DriveRecord& drive, uint32_t letter, OpenProgressCallback callback, int32_t callerValue) {
  WriteLetterCommand(g_Connection, ECommand::OstrinOpenDrive, letter);
  const CReply reply = ReadReply(g_Connection);
  if (!reply.IsAck()) {
    drive.StoreError(reply.error.code, reply.error.text);
    return -1;
  }
  drive.state = DriveState::Opening;
  for (;;) {
    COpenMessage message;
    message.code = ReadOpenMessageCode();
    switch (message.code) {
      case WireCode(EOpenMessage::OpenProgress):
        ReadOpenMessageBody(g_Connection, message);
        if (callback != nullptr && callback(static_cast<int32_t>(message.percent), callerValue) == 0) {
          WriteLetterCommand(g_Connection, ECommand::AbortOpen, letter);
        }
        break;
      case WireCode(EOpenMessage::OpenAborted):
        ReadOpenMessageBody(g_Connection, message);
        return -1;
      case WireCode(EOpenMessage::ErrorReply):
        ReadOpenMessageBody(g_Connection, message);
        drive.StoreError(message.error.code, message.error.text);
        return -1;
      case WireCode(EOpenMessage::OpenDone):
        ReadOpenMessageBody(g_Connection, message);
        drive.state = DriveState::Open;
        ++drive.serviceUses;
        if (!MapDriveImage(drive, letter)) return -1;
        if (callback != nullptr) callback(PROGRESS_DONE, callerValue);
        return static_cast<int32_t>(DriveIndexOf(drive));
      default:
        break;  // a message this client does not know carries nothing it needs
    }
  }
}

}  // namespace

extern "C" {

OSTRIN_API int32_t OstOpenDrive(WCHAR letter, OpenProgressCallback callback, int32_t callerValue) {
  DriveRecord* drive = DriveOfLetter(letter);
  if (drive == nullptr) return -1;
  drive->ClearError();
  // A view left from an earlier open of this drive is released now rather than overwritten; find
  // handles made on it are refused from here on.
  drive->ReleaseView();
  const uint32_t wireLetter = static_cast<uint16_t>(letter);
  try {
    return OpenDrive(*drive, wireLetter, callback, callerValue);
  } catch (const CException&) {
  } catch (...) {
  }
  FailDrive(*drive, wireLetter, CLIENT_COMMUNICATION_ERROR);
  return -1;
}

OSTRIN_API int32_t OstCloseDrive(uint32_t driveIndex) {
  if (driveIndex >= DRIVE_COUNT) return 0;
  DriveRecord& drive = g_Drives[driveIndex];
  drive.ClearError();
  drive.ReleaseView();
  // Only a use this client holds is given back: a drive it has not open is closed here alone, as the
  // service would answer its close.
  if (drive.serviceUses == 0) {
    drive.state = DriveState::Closed;
    return 1;
  }
  try {
    WriteLetterCommand(g_Connection, ECommand::CloseDrive, 'A' + driveIndex);
    const CReply reply = ReadReply(g_Connection);
    if (reply.IsAck()) {
      --drive.serviceUses;
    } else {
      drive.StoreError(reply.error.code, reply.error.text);
    }
  } catch (const CException&) {
    drive.StoreError(CLIENT_COMMUNICATION_ERROR);
    return 0;
  } catch (...) {
    drive.StoreError(CLIENT_COMMUNICATION_ERROR);
    return 0;
  }
  drive.state = DriveState::Closed;
  return 1;
}

OSTRIN_API uint64_t OstGetMemoryUsage(uint32_t driveIndex) {
  if (driveIndex >= DRIVE_COUNT) return 0;
  DriveRecord& drive = g_Drives[driveIndex];
  drive.ClearError();
  return drive.memoryUsage;
}

}  // extern "C"
