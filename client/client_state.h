// The process-wide state of OstrinAPI: its one connection to the service and the record of each of
// the 26 drives, with the helpers every exported function uses on them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "client/image_view.h"
#include "common/error_text.h"
#include "common/sock_stream.h"
#include "platform/shared_section.h"
#include "platform/types.h"

inline constexpr uint32_t DRIVE_COUNT = 26;

enum class DriveState : int32_t {
  Closed = 0,
  Opening = 1,  // the service accepted OstrinOpenDrive and the open is running
  Open = 2,     // the service reported OpenDone and counted this client in
};

struct DriveRecord {
  DriveState state = DriveState::Closed;
  // Opens of the drive the service counted for this client on the current connection (each ended in
  // OpenDone) and not yet given back with a CloseDrive; a connection that ends gives back all of its.
  uint32_t serviceUses = 0;
  // The opened mapping object and the read-only view of the drive's image; the view is what makes a
  // drive usable by the find functions.
  ostrin::platform::CSectionView mapping;
  const unsigned char* view = nullptr;
  // Bytes of the image from the last OstrinReadDir reply an open of this drive received.
  uint64_t memoryUsage = 0;
  // Bytes of the view the find functions may read: the smaller of memoryUsage and the mapped size.
  uint64_t readableSize = 0;
  // Which mapping the view is: find handles made on an earlier view of the drive are refused.
  uint64_t viewGeneration = 0;
  // The view's subdirectories by name, made on the first find and released with the view.
  std::unique_ptr<CDirectoryCache> directories;
  int32_t lastError = 0;
  WString lastErrorText;

  void ClearError();
  void StoreError(int32_t code, const WString& text);
  void StoreError(const CErrorText& error) { StoreError(error.code, error.Text()); }
  // Makes view (of mappedSize bytes, holding an image the service says is imageSize bytes) the
  // drive's view: a new generation, with nothing yet known of its directories.
  void SetView(const unsigned char* mappedView, uint64_t mappedSize, uint64_t imageSize);
  // Unmaps the view and closes the mapping object, as far as they exist.
  void ReleaseView();
};

// The one connection of the process (client side of the stream, 30-second waits).
extern CSockStream g_Connection;
// Whether OstConnect has started the socket library, which OstDisconnect cleans up once, after the
// connection is closed (on Windows the last cleanup resets every socket of the process, and a handle
// kept past it may name another socket by then).
extern bool g_SocketLibraryStarted;
// Index 0 for drive A .. 25 for Z.
extern std::array<DriveRecord, DRIVE_COUNT> g_Drives;

// The record of a letter given in either case (upper-cased as the runtime's wide-character mapping of
// the current locale does), or null for a letter outside A..Z.
DriveRecord* DriveOfLetter(WCHAR letter);
// A new connection holds no use of any drive: those of the connection before it went with it.
void ForgetServiceUses();
// The drive index of a record.
uint32_t DriveIndexOf(const DriveRecord& drive);
// A generation number no view has had before.
uint64_t NextViewGeneration();
