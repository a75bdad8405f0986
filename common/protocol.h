// The wire protocol between OstrinAPI and OstrinNT: codes, error texts, and every message's layout
// with the functions that write and read it, so both sides share one definition of each.
//
// All integers are little-endian u32 or u64 with no padding; a wire string is a u32 count of UTF-16
// units followed by the units (CSockStream::ReadString / WriteString). A letter is a u32 whose low
// 16 bits are the UTF-16 code of a drive letter, echoed by the service exactly as received.
//
// Every message is built whole and sent with ONE CSockStream::Write. On the service side two threads
// write on one connection (its connection thread and an open job) under a lock per message; a
// message written field by field would let the other writer's message land between its fields
// whenever a caller took the lock for less than the whole message, and a time-out between fields
// would leave half a message on the wire. One write also means one readiness wait per message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "common/error_text.h"
#include "common/sock_stream.h"
#include "platform/types.h"

// The port OstrinAPI connects to on 127.0.0.1 (fixed in the library).
inline constexpr uint16_t CLIENT_PORT = 49020;

// The Hello message's proof that the peer speaks this protocol, and its version.
inline constexpr uint32_t PROTOCOL_MAGIC = 0x29052020;
inline constexpr uint32_t PROTOCOL_VERSION = 1;

// The percentage of the one OpenProgress sent after the drive's image is written; the scan's own
// reports stay below it.
inline constexpr int32_t PROGRESS_DONE = 100;

// First u32 of every message from the client.
enum class ECommand : uint32_t {
  Hello = 2,
  OstrinOpenDrive = 3,
  AbortOpen = 7,
  CloseDrive = 8,
  Quit = 9,
  OstrinReadDir = 10,
  // The state of an open drive: its newest generation, when that was built, its size and entries and
  // the memory of the index kept beside it. Answered like OstrinReadDir (2000, 2006, 2007), but not
  // counted as a use of the drive.
  DriveInfo = 11,
};

// First u32 of every reply: 0 is an error reply, any other value an Ack.
enum class EReplyStatus : uint32_t {
  ErrorReply = 0,
  Ack = 1,
};

// First u32 of every message the service sends during an open. 0 is the open's failure, laid out as
// an error reply; a client ignores any other code and reads on.
enum class EOpenMessage : uint32_t {
  ErrorReply = 0,
  OpenDone = 4,
  OpenProgress = 5,
  OpenAborted = 6,
};

// The u32 that stands for a code on the wire.
template <typename Code>
constexpr uint32_t WireCode(Code code) {
  static_assert(std::is_enum_v<Code>);
  return static_cast<uint32_t>(code);
}

// Errors of the command server, sent in error replies with these exact texts.
inline constexpr CErrorText ERR_LETTER_OUT_OF_RANGE{2000, WTEXT("drive letter out of range (A..Z)")};
inline constexpr CErrorText ERR_PROTOCOL_MAGIC_BAD{2001, WTEXT("protocol magic bad")};
inline constexpr CErrorText ERR_WRONG_PROTOCOL_VERSION{2002, WTEXT("wrong protocol version")};
inline constexpr CErrorText ERR_NOT_AUTHENTICATED{2004, WTEXT("command without prior authentication")};
inline constexpr CErrorText ERR_OPEN_THREAD_FAILED{2005, WTEXT("OstrinOpenDrive can not create thread, aborting")};
inline constexpr CErrorText ERR_OPEN_IN_PROGRESS{
    2006, WTEXT("open operation for specified drive is in progress. can not close, call abort first")};
inline constexpr CErrorText ERR_DRIVE_NOT_OPEN{2007, WTEXT("OstrinReadDir: specified drive is not open")};
inline constexpr CErrorText ERR_UNKNOWN_COMMAND{2008, WTEXT("received unknown command")};
// The access rule of the service's configuration does not let the connection's user read the drive.
inline constexpr CErrorText ERR_ACCESS_DENIED{2009, WTEXT("access denied: this user may not read the drive")};

// ---- Fixed-size messages. The machine is little-endian (common/byte_order.h), so a filled struct's
// bytes are its wire bytes.

// Hello (client): the first message of a connection. Reply: Ack, or ErrorReply 2001 / 2002.
struct HELLO_MESSAGE {
/* 0x00 */ uint32_t command;  // ECommand::Hello
/* 0x04 */ uint32_t magic;    // PROTOCOL_MAGIC
/* 0x08 */ uint32_t version;  // PROTOCOL_VERSION
};
static_assert(offsetof(HELLO_MESSAGE, magic) == 0x04);
static_assert(offsetof(HELLO_MESSAGE, version) == 0x08);
static_assert(sizeof(HELLO_MESSAGE) == 12);

// OstrinOpenDrive, AbortOpen, CloseDrive and OstrinReadDir (client): a command and its letter.
struct LETTER_COMMAND {
/* 0x00 */ uint32_t command;  // ECommand
/* 0x04 */ uint32_t letter;
};
static_assert(offsetof(LETTER_COMMAND, letter) == 0x04);
static_assert(sizeof(LETTER_COMMAND) == 8);

// Quit (client), and the Ack reply (service): a single u32.
struct CODE_MESSAGE {
/* 0x00 */ uint32_t code;  // ECommand::Quit or EReplyStatus::Ack
};
static_assert(sizeof(CODE_MESSAGE) == 4);

// OpenProgress (service, during an open): the whole percentage the scan has reached.
struct OPEN_PROGRESS_MESSAGE {
/* 0x00 */ uint32_t code;     // EOpenMessage::OpenProgress
/* 0x04 */ uint32_t letter;   // as the client sent it
/* 0x08 */ uint32_t percent;  // 0..100
};
static_assert(offsetof(OPEN_PROGRESS_MESSAGE, letter) == 0x04);
static_assert(offsetof(OPEN_PROGRESS_MESSAGE, percent) == 0x08);
static_assert(sizeof(OPEN_PROGRESS_MESSAGE) == 12);

// OpenDone and OpenAborted (service, ending an open).
struct OPEN_LETTER_MESSAGE {
/* 0x00 */ uint32_t code;    // EOpenMessage::OpenDone or OpenAborted
/* 0x04 */ uint32_t letter;  // as the client sent it
};
static_assert(offsetof(OPEN_LETTER_MESSAGE, letter) == 0x04);
static_assert(sizeof(OPEN_LETTER_MESSAGE) == 8);

// ---- Messages with a wire string.
//
// ErrorReply (service; also the failure form of an open):
//   0x00     u32  0 (EReplyStatus::ErrorReply, EOpenMessage::ErrorReply)
//   0x04     u32  error code
//   0x08     u32  n, count of UTF-16 units of the error text
//   0x0C     n units of the text
//
// Ack of OstrinReadDir (service):
//   0x00     u32  1 (EReplyStatus::Ack)
//   0x04     u32  n, count of UTF-16 units of the section name
//   0x08     n units of the section name
//   0x08+2n  u64  image size in bytes

// ---- Writing (each a single Write; each throws CSockException 1004 to 1007).

void WriteHello(CSockStream& stream);
// command is one of OstrinOpenDrive, AbortOpen, CloseDrive, OstrinReadDir, DriveInfo.
void WriteLetterCommand(CSockStream& stream, ECommand command, uint32_t letter);
void WriteQuit(CSockStream& stream);
void WriteAck(CSockStream& stream);
void WriteErrorReply(CSockStream& stream, int32_t code, const WString& text);
void WriteErrorReply(CSockStream& stream, const CErrorText& error);
void WriteReadDirReply(CSockStream& stream, const WString& sectionName, uint64_t imageSize);
struct CDriveInfoBody;
void WriteDriveInfoReply(CSockStream& stream, const CDriveInfoBody& info);
void WriteOpenProgress(CSockStream& stream, uint32_t letter, uint32_t percent);
void WriteOpenDone(CSockStream& stream, uint32_t letter);
void WriteOpenAborted(CSockStream& stream, uint32_t letter);

// ---- Reading (each throws CSockException 1000 to 1003, 1008).

// What follows a 0 status or open message code: the error code and text.
struct CErrorBody {
  int32_t code = 0;
  WString text;
};

// A whole reply: the status word and, for an error reply, its code and text. A reply with a body
// (OstrinReadDir) continues with ReadReadDirBody when it is an Ack.
struct CReply {
  uint32_t status = 0;
  CErrorBody error;  // filled only when status is 0

  bool IsAck() const { return status != WireCode(EReplyStatus::ErrorReply); }
};

// The body of an OstrinReadDir Ack.
struct CReadDirBody {
  WString sectionName;
  uint64_t imageSize = 0;
};

// The body of a DriveInfo Ack: u64 generation, builtAt (FILETIME, UTC), imageSize, entries,
// keptBytes, totalsKnown (1 or 0), then what the image holds below its root (directories, files, and
// the files' size and allocated size: 0 when not known), then the section name as a wire string.
struct CDriveInfoBody {
  uint64_t generation = 0;
  uint64_t builtAt = 0;
  uint64_t imageSize = 0;
  uint64_t entries = 0;
  uint64_t keptBytes = 0;
  uint64_t totalsKnown = 0;
  uint64_t directories = 0;
  uint64_t files = 0;
  uint64_t totalSize = 0;
  uint64_t totalAllocated = 0;
  WString sectionName;
};

// One message of a running open. Which fields are filled depends on the code: letter for 4, 5 and 6,
// percent for 5, error for 0; an unknown code carries nothing.
struct COpenMessage {
  uint32_t code = 0;
  uint32_t letter = 0;
  uint32_t percent = 0;
  CErrorBody error;
};

uint32_t ReadLetter(CSockStream& stream);
CErrorBody ReadErrorBody(CSockStream& stream);
CReply ReadReply(CSockStream& stream);
CReadDirBody ReadReadDirBody(CSockStream& stream);
CDriveInfoBody ReadDriveInfoBody(CSockStream& stream);
// Reads the fields that follow an open message's code (already read into message.code, so that a
// caller can retry the wait for a code without losing bytes of a message).
void ReadOpenMessageBody(CSockStream& stream, COpenMessage& message);
