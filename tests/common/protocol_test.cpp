// The wire protocol's messages over a real loopback connection: the bytes each writer sends, compared
// with hand-written bytes, and the readers on hand-written input.
#include "common/protocol.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/common/loopback_pair.h"

namespace {

WString W(std::u16string_view text) { return WString(text.begin(), text.end()); }

using ProtocolTest = CSocketLibraryTest;

// Writes one message on one end, closes that end, and gives every byte the other end received.
std::vector<unsigned char> BytesOf(const std::function<void(CSockStream&)>& write, bool fromClient) {
  CLoopbackPair pair;
  CSockStream& writer = fromClient ? pair.client : *pair.service;
  CSockStream& reader = fromClient ? *pair.service : pair.client;
  write(writer);
  writer.Close();
  std::vector<unsigned char> bytes;
  try {
    for (;;) {
      unsigned char byte = 0;
      reader.Read(&byte, 1);
      bytes.push_back(byte);
    }
  } catch (const CSockException& e) {
    EXPECT_EQ(e.Code(), 1002);  // the end of the message is the end of the stream
  }
  return bytes;
}

TEST_F(ProtocolTest, FixedMessagesFromTheClient) {
  struct Case {
    const char* name;
    std::function<void(CSockStream&)> write;
    std::vector<unsigned char> bytes;
  };
  const Case cases[] = {
      {"Hello", [](CSockStream& s) { WriteHello(s); },
       {0x02, 0x00, 0x00, 0x00, 0x20, 0x20, 0x05, 0x29, 0x01, 0x00, 0x00, 0x00}},
      {"OstrinOpenDrive c", [](CSockStream& s) { WriteLetterCommand(s, ECommand::OstrinOpenDrive, 'c'); },
       {0x03, 0x00, 0x00, 0x00, 0x63, 0x00, 0x00, 0x00}},
      {"AbortOpen C", [](CSockStream& s) { WriteLetterCommand(s, ECommand::AbortOpen, 'C'); },
       {0x07, 0x00, 0x00, 0x00, 0x43, 0x00, 0x00, 0x00}},
      {"CloseDrive Z", [](CSockStream& s) { WriteLetterCommand(s, ECommand::CloseDrive, 'Z'); },
       {0x08, 0x00, 0x00, 0x00, 0x5A, 0x00, 0x00, 0x00}},
      {"OstrinReadDir d", [](CSockStream& s) { WriteLetterCommand(s, ECommand::OstrinReadDir, 'd'); },
       {0x0A, 0x00, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00}},
      {"Quit", [](CSockStream& s) { WriteQuit(s); }, {0x09, 0x00, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(BytesOf(c.write, true), c.bytes);
  }
}

TEST_F(ProtocolTest, MessagesFromTheService) {
  struct Case {
    const char* name;
    std::function<void(CSockStream&)> write;
    std::vector<unsigned char> bytes;
  };
  const Case cases[] = {
      {"Ack", [](CSockStream& s) { WriteAck(s); }, {0x01, 0x00, 0x00, 0x00}},
      {"OpenProgress c 42", [](CSockStream& s) { WriteOpenProgress(s, 'c', 42); },
       {0x05, 0x00, 0x00, 0x00, 0x63, 0x00, 0x00, 0x00, 0x2A, 0x00, 0x00, 0x00}},
      {"OpenDone c", [](CSockStream& s) { WriteOpenDone(s, 'c'); }, {0x04, 0x00, 0x00, 0x00, 0x63, 0x00, 0x00, 0x00}},
      {"OpenAborted C", [](CSockStream& s) { WriteOpenAborted(s, 'C'); },
       {0x06, 0x00, 0x00, 0x00, 0x43, 0x00, 0x00, 0x00}},
      {"ErrorReply with a text", [](CSockStream& s) { WriteErrorReply(s, 3, W(u"Open volume error.")); },
       CBytes().U32(0).U32(3).Str(u"Open volume error.").bytes},
      {"ErrorReply with an empty text", [](CSockStream& s) { WriteErrorReply(s, -5, WString()); },
       {0x00, 0x00, 0x00, 0x00, 0xFB, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00}},
      // The image size follows the name as a u64: its low word first.
      {"OstrinReadDir Ack",
       [](CSockStream& s) { WriteReadDirReply(s, W(u"Global\\OstrinNT_Drive_c"), 0x0000000123456789ULL); },
       CBytes().U32(1).U32(23).Units(u"Global\\OstrinNT_Drive_c").U32(0x23456789).U32(0x00000001).bytes},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(BytesOf(c.write, false), c.bytes);
  }
}

TEST_F(ProtocolTest, CommandServerErrorsOnTheWire) {
  struct Case {
    const CErrorText& error;
    uint32_t code;
    std::u16string_view text;
  };
  const Case cases[] = {
      {ERR_LETTER_OUT_OF_RANGE, 2000, u"drive letter out of range (A..Z)"},
      {ERR_PROTOCOL_MAGIC_BAD, 2001, u"protocol magic bad"},
      {ERR_WRONG_PROTOCOL_VERSION, 2002, u"wrong protocol version"},
      {ERR_NOT_AUTHENTICATED, 2004, u"command without prior authentication"},
      {ERR_OPEN_THREAD_FAILED, 2005, u"OstrinOpenDrive can not create thread, aborting"},
      {ERR_OPEN_IN_PROGRESS, 2006, u"open operation for specified drive is in progress. can not close, call abort first"},
      {ERR_DRIVE_NOT_OPEN, 2007, u"OstrinReadDir: specified drive is not open"},
      {ERR_UNKNOWN_COMMAND, 2008, u"received unknown command"},
      {ERR_ACCESS_DENIED, 2009, u"access denied: this user may not read the drive"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(BytesOf([&](CSockStream& s) { WriteErrorReply(s, c.error); }, false),
              CBytes().U32(0).U32(c.code).Str(c.text).bytes);
    try {
      ThrowError(c.error);
      ADD_FAILURE() << "no exception";
    } catch (const CSockException&) {
      ADD_FAILURE() << "a command error is not a stream failure";
    } catch (const CException& e) {
      EXPECT_EQ(e.Code(), static_cast<int32_t>(c.code));
      EXPECT_EQ(e.Message(), W(c.text));
    }
  }
}

TEST_F(ProtocolTest, ReadingReplies) {
  CLoopbackPair pair;
  CSockStream& service = *pair.service;
  CSockStream& client = pair.client;
  client.timeoutSeconds = 1;

  WriteBytes(service, CBytes().U32(1).bytes);
  CReply ack = ReadReply(client);
  EXPECT_TRUE(ack.IsAck());
  EXPECT_EQ(ack.status, 1u);

  // Any non-zero status is an Ack.
  WriteBytes(service, CBytes().U32(77).bytes);
  EXPECT_TRUE(ReadReply(client).IsAck());

  WriteBytes(service, CBytes().U32(0).U32(2007).Str(u"OstrinReadDir: specified drive is not open").bytes);
  CReply refused = ReadReply(client);
  EXPECT_FALSE(refused.IsAck());
  EXPECT_EQ(refused.error.code, 2007);
  EXPECT_EQ(refused.error.text, W(u"OstrinReadDir: specified drive is not open"));

  WriteBytes(service, CBytes().U32(1).Str(u"Global\\OstrinNT_Drive_C").U64(0x0000000200000010ULL).bytes);
  ASSERT_TRUE(ReadReply(client).IsAck());
  const CReadDirBody body = ReadReadDirBody(client);
  EXPECT_EQ(body.sectionName, W(u"Global\\OstrinNT_Drive_C"));
  EXPECT_EQ(body.imageSize, 0x0000000200000010ULL);

  // A hostile text count fails the read of the error body without consuming what follows.
  WriteBytes(service, CBytes().U32(0).U32(2001).U32(0xFFFFFFF0).U32(1).bytes);
  EXPECT_EQ(SockErrorOf([&] { ReadReply(client); }), 1008);
  EXPECT_EQ(client.ReadU32(), 1u);
}

TEST_F(ProtocolTest, ReadingTheMessagesOfAnOpen) {
  CLoopbackPair pair;
  pair.client.timeoutSeconds = 1;
  // As a service would send them, with a code that is not an open message in between: it carries
  // nothing, so the next u32 is read as the next code.
  WriteBytes(*pair.service, CBytes()
                                .U32(5).U32('c').U32(1)
                                .U32(99)
                                .U32(5).U32('c').U32(100)
                                .U32(4).U32('c')
                                .U32(6).U32('c')
                                .U32(0).U32(3).Str(u"Open volume error.")
                                .bytes);
  struct Expected {
    uint32_t code;
    uint32_t letter;
    uint32_t percent;
    int32_t errorCode;
    std::u16string_view errorText;
  };
  const Expected expected[] = {
      {5, 'c', 1, 0, u""}, {99, 0, 0, 0, u""}, {5, 'c', 100, 0, u""},
      {4, 'c', 0, 0, u""}, {6, 'c', 0, 0, u""}, {0, 0, 0, 3, u"Open volume error."},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.code);
    COpenMessage message;
    message.code = pair.client.ReadU32();
    ReadOpenMessageBody(pair.client, message);
    EXPECT_EQ(message.code, e.code);
    EXPECT_EQ(message.letter, e.letter);
    EXPECT_EQ(message.percent, e.percent);
    EXPECT_EQ(message.error.code, e.errorCode);
    EXPECT_EQ(message.error.text, W(e.errorText));
  }
}

TEST_F(ProtocolTest, WritersAndReadersAgree) {
  // The service's messages as the client reads them, through both sides' helpers.
  CLoopbackPair pair;
  pair.client.timeoutSeconds = 1;
  WriteAck(*pair.service);
  WriteOpenProgress(*pair.service, 'x', 57);
  WriteOpenDone(*pair.service, 'x');
  WriteReadDirReply(*pair.service, W(u"Global\\OstrinNT_Drive_x"), 4096);
  WriteErrorReply(*pair.service, ERR_OPEN_IN_PROGRESS);

  EXPECT_TRUE(ReadReply(pair.client).IsAck());
  COpenMessage progress;
  progress.code = pair.client.ReadU32();
  ReadOpenMessageBody(pair.client, progress);
  EXPECT_EQ(progress.code, WireCode(EOpenMessage::OpenProgress));
  EXPECT_EQ(progress.percent, 57u);
  COpenMessage done;
  done.code = pair.client.ReadU32();
  ReadOpenMessageBody(pair.client, done);
  EXPECT_EQ(done.code, WireCode(EOpenMessage::OpenDone));
  EXPECT_EQ(done.letter, static_cast<uint32_t>('x'));
  ASSERT_TRUE(ReadReply(pair.client).IsAck());
  EXPECT_EQ(ReadReadDirBody(pair.client).imageSize, 4096u);
  const CReply refused = ReadReply(pair.client);
  EXPECT_EQ(refused.error.code, ERR_OPEN_IN_PROGRESS.code);
  EXPECT_EQ(refused.error.text, ERR_OPEN_IN_PROGRESS.Text());
}

}  // namespace
