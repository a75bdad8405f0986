// Asking the service for a drive's state over the wire protocol.
#include "tools/ostrin/drive_state.h"

#include <OstrinAPI.h>

#include "common/exceptions.h"
#include "common/protocol.h"
#include "common/sock_stream.h"

std::optional<SDriveState> QueryDriveState(WCHAR letter) {
  try {
    CSockStream stream(ESockSide::Client);
    stream.Connect(OSTRIN_API_SERVICE_HOST, OSTRIN_API_SERVICE_PORT);
    WriteHello(stream);
    if (!ReadReply(stream).IsAck()) return std::nullopt;
    WriteLetterCommand(stream, ECommand::DriveInfo, letter);
    if (!ReadReply(stream).IsAck()) return std::nullopt;
    const CDriveInfoBody info = ReadDriveInfoBody(stream);
    WriteQuit(stream);
    ReadReply(stream);
    return SDriveState{info.generation, info.builtAt, info.totalsKnown == 1, info.directories, info.files,
                       info.totalSize, info.totalAllocated};
  } catch (const CException&) {
    return std::nullopt;
  }
}
