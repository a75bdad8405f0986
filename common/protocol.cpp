// The wire protocol's messages, written and read over a socket stream.
#include "common/protocol.h"

#include "common/exceptions.h"

namespace {

// Sends a fixed-size message as its own bytes with one Write.
template <typename Message>
void WriteFixed(CSockStream& stream, const Message& message) {
  static_assert(std::has_unique_object_representations_v<Message>, "a message has no padding");
  stream.Write(&message, sizeof message);
}

}  // namespace


void WriteHello(CSockStream& stream) {
  WriteFixed(stream, HELLO_MESSAGE{WireCode(ECommand::Hello), PROTOCOL_MAGIC, PROTOCOL_VERSION});
}

void WriteLetterCommand(CSockStream& stream, ECommand command, uint32_t letter) {
  WriteFixed(stream, LETTER_COMMAND{WireCode(command), letter});
}

void WriteQuit(CSockStream& stream) { WriteFixed(stream, CODE_MESSAGE{WireCode(ECommand::Quit)}); }

void WriteAck(CSockStream& stream) { WriteFixed(stream, CODE_MESSAGE{WireCode(EReplyStatus::Ack)}); }

void WriteErrorReply(CSockStream& stream, int32_t code, const WString& text) {
  CWireBuffer message;
  message.PutU32(WireCode(EReplyStatus::ErrorReply));
  message.PutU32(static_cast<uint32_t>(code));
  message.PutString(text);
  stream.Write(message);
}

void WriteErrorReply(CSockStream& stream, const CErrorText& error) {
  WriteErrorReply(stream, error.code, error.Text());
}

void WriteReadDirReply(CSockStream& stream, const WString& sectionName, uint64_t imageSize) {
  CWireBuffer message;
  message.PutU32(WireCode(EReplyStatus::Ack));
  message.PutString(sectionName);
  message.PutU64(imageSize);
  stream.Write(message);
}

void WriteDriveInfoReply(CSockStream& stream, const CDriveInfoBody& info) {
  CWireBuffer message;
  message.PutU32(WireCode(EReplyStatus::Ack));
  for (const uint64_t value : {info.generation, info.builtAt, info.imageSize, info.entries, info.keptBytes,
                               info.totalsKnown, info.directories, info.files, info.totalSize, info.totalAllocated}) {
    message.PutU64(value);
  }
  message.PutString(info.sectionName);
  stream.Write(message);
}

void WriteOpenProgress(CSockStream& stream, uint32_t letter, uint32_t percent) {
  WriteFixed(stream, OPEN_PROGRESS_MESSAGE{WireCode(EOpenMessage::OpenProgress), letter, percent});
}

void WriteOpenDone(CSockStream& stream, uint32_t letter) {
  WriteFixed(stream, OPEN_LETTER_MESSAGE{WireCode(EOpenMessage::OpenDone), letter});
}

void WriteOpenAborted(CSockStream& stream, uint32_t letter) {
  WriteFixed(stream, OPEN_LETTER_MESSAGE{WireCode(EOpenMessage::OpenAborted), letter});
}

uint32_t ReadLetter(CSockStream& stream) { return stream.ReadU32(); }

CErrorBody ReadErrorBody(CSockStream& stream) {
  CErrorBody body;
  body.code = static_cast<int32_t>(stream.ReadU32());
  body.text = stream.ReadString();
  return body;
}

CReply ReadReply(CSockStream& stream) {
  CReply reply;
  reply.status = stream.ReadU32();
  if (!reply.IsAck()) reply.error = ReadErrorBody(stream);
  return reply;
}

CReadDirBody ReadReadDirBody(CSockStream& stream) {
  CReadDirBody body;
  body.sectionName = stream.ReadString();
  body.imageSize = stream.ReadU64();
  return body;
}

CDriveInfoBody ReadDriveInfoBody(CSockStream& stream) {
  CDriveInfoBody body;
  for (uint64_t* value : {&body.generation, &body.builtAt, &body.imageSize, &body.entries, &body.keptBytes,
                          &body.totalsKnown, &body.directories, &body.files, &body.totalSize, &body.totalAllocated}) {
    *value = stream.ReadU64();
  }
  body.sectionName = stream.ReadString();
  return body;
}

void ReadOpenMessageBody(CSockStream& stream, COpenMessage& message) {
  switch (static_cast<EOpenMessage>(message.code)) {
    case EOpenMessage::OpenProgress:
      message.letter = ReadLetter(stream);
      message.percent = stream.ReadU32();
      break;
    case EOpenMessage::OpenDone:
    case EOpenMessage::OpenAborted:
      message.letter = ReadLetter(stream);
      break;
    case EOpenMessage::ErrorReply:
      message.error = ReadErrorBody(stream);
      break;
    default:
      break;  // not a code of an open: nothing of it is read, the next u32 is the next code
  }
}
