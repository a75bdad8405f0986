// OstConnect, OstDisconnect and the two getters of a drive's last error.
#include <cstring>

#include "client/OstrinAPI.h"
#include "client/client_errors.h"
#include "client/client_state.h"
#include "common/exceptions.h"
#include "common/protocol.h"
#include "platform/message_box.h"
#include "platform/socket.h"

extern "C" {

OSTRIN_API int32_t OstConnect(void) {
  if (!g_SocketLibraryStarted) {
    if (!ostrin::platform::StartSocketLibrary()) {
      ostrin::platform::ShowErrorMessage(MESSAGE_SOCKETS_UNAVAILABLE);
      return 0;
    }
    g_SocketLibraryStarted = true;
  }
  try {
    // A new socket replaces the one held before, with the stream's closed flag cleared, so a program
    // can reconnect after the service has gone away and come back. The address is the one the public
    // header names; the library never builds it from anything else.
    ForgetServiceUses();
    g_Connection.Connect(OSTRIN_API_SERVICE_HOST, CLIENT_PORT);
  } catch (const CException&) {
    ostrin::platform::ShowErrorMessage(MESSAGE_CANNOT_CONNECT);
    return 0;
  } catch (...) {
    ostrin::platform::ShowErrorMessage(MESSAGE_CANNOT_CONNECT);
    return 0;
  }
  try {
    WriteHello(g_Connection);
    const CReply reply = ReadReply(g_Connection);
    if (reply.IsAck()) return 1;
    g_Connection.Close();
    ostrin::platform::ShowErrorMessage(MESSAGE_PROTOCOL_ERROR);
    return 0;
  } catch (const CException&) {
  } catch (...) {
  }
  ostrin::platform::ShowErrorMessage(MESSAGE_COMMUNICATION_ERROR);
  return 0;
}

OSTRIN_API int32_t OstDisconnect(void) {
  int32_t acknowledged = 0;
  try {
    WriteQuit(g_Connection);
    g_Connection.ReadU32();
    acknowledged = 1;
  } catch (const CException&) {
  } catch (...) {
  }
  // The connection ends either way, and with it the uses of drives it held; its socket goes before
  // the library that made it.
  g_Connection.Close();
  ForgetServiceUses();
  if (g_SocketLibraryStarted) {
    ostrin::platform::CleanupSocketLibrary();
    g_SocketLibraryStarted = false;
  }
  return acknowledged;
}

OSTRIN_API int32_t OstGetLastError(WCHAR letter) {
  const DriveRecord* drive = DriveOfLetter(letter);
  return drive == nullptr ? CLIENT_LETTER_OUT_OF_RANGE : drive->lastError;
}

OSTRIN_API int32_t OstGetLastErrorString(WCHAR letter, WCHAR* buffer, uint32_t capacity) {
  const DriveRecord* drive = DriveOfLetter(letter);
  if (drive == nullptr) return CLIENT_NO_TEXT_LENGTH;
  const WString& text = drive->lastErrorText;
  const uint64_t size = text.size() + 1;
  if (buffer != nullptr) {
    // Never truncated: a buffer too small for the whole text gets only an empty string.
    if (capacity >= size) {
      std::memcpy(buffer, text.c_str(), size * sizeof(WCHAR));
    } else if (capacity > 0) {
      buffer[0] = 0;
    }
  }
  return static_cast<int32_t>(size);
}

}  // extern "C"
