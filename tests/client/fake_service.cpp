// The scripted stand-in for OstrinNT and hand-built drive images.
#include "tests/client/fake_service.h"

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <cstring>

#include "common/byte_order.h"
#include "common/exceptions.h"
#include "common/text.h"
#include "index/image_format.h"
#include "platform/socket.h"

namespace ostrin::test {

namespace {

constexpr int ACCEPT_WAIT_MS = 20000;
constexpr int32_t SCRIPT_STREAM_TIMEOUT_SECONDS = 10;

}  // namespace

CFakeService::CFakeService(Script script) {
  // The service's own socket is made before the library under test starts the socket library (Windows
  // refuses sockets before WSAStartup); each start is matched in the destructor.
  m_socketsStarted = ostrin::platform::StartSocketLibrary();
  EXPECT_TRUE(m_socketsStarted);
  m_listener.Bind(CLIENT_PORT);
  m_listener.Listen();
  m_thread = std::thread([this, script = std::move(script)] {
    if (m_listener.WaitReadable(ACCEPT_WAIT_MS) != ostrin::platform::SocketWait::Ready) {
      ADD_FAILURE() << "the client did not connect";
      return;
    }
    std::unique_ptr<CSockStream> connection = m_listener.Accept();
    connection->timeoutSeconds = SCRIPT_STREAM_TIMEOUT_SECONDS;
    try {
      script(*connection);
    } catch (const CException& failure) {
      ADD_FAILURE() << "the fake service's script failed: " << failure.Code() << " " << WideToUtf8(failure.Message());
    }
    connection->Close();
  });
}

CFakeService::~CFakeService() {
  Join();
  if (m_socketsStarted) ostrin::platform::CleanupSocketLibrary();
}

void CFakeService::Join() {
  if (m_thread.joinable()) m_thread.join();
  m_listener.Close();
}

void ExpectHello(CSockStream& connection) {
  HELLO_MESSAGE hello{};
  connection.Read(&hello, sizeof hello);
  EXPECT_EQ(hello.command, WireCode(ECommand::Hello));
  EXPECT_EQ(hello.magic, PROTOCOL_MAGIC);
  EXPECT_EQ(hello.version, PROTOCOL_VERSION);
}

void ExpectCommand(CSockStream& connection, ECommand command, uint32_t letter) {
  LETTER_COMMAND message{};
  connection.Read(&message, sizeof message);
  EXPECT_EQ(message.command, WireCode(command));
  EXPECT_EQ(message.letter, letter) << "command " << message.command;
}

void Greet(CSockStream& connection) {
  ExpectHello(connection);
  WriteAck(connection);
}

bool ClientSilent(CSockStream& connection, int ms) {
  if (connection.WaitReadable(ms) != ostrin::platform::SocketWait::Ready) return true;
  unsigned char byte = 0;
  try {
    connection.Read(&byte, 1);
  } catch (const CSockException&) {
    return true;  // the client closed the connection
  }
  return false;
}

SImageNode ImageDirectory(const WString& name, std::vector<SImageNode> children, uint32_t attributes) {
  SImageNode node;
  node.name = name;
  node.attributes = attributes | IMAGE_ATTRIBUTE_DIRECTORY;
  node.children = std::move(children);
  node.lastWrite = 0x01D7000000000000;
  node.creation = node.lastWrite - 1;
  node.lastAccess = node.lastWrite + 1;
  return node;
}

SImageNode ImageFile(const WString& name, uint64_t size, uint64_t allocated, uint32_t attributes) {
  SImageNode node;
  node.name = name;
  node.attributes = attributes;
  node.size = size;
  node.allocated = allocated;
  node.lastWrite = 0x01D8000000000000 + size;
  node.creation = node.lastWrite - 2;
  node.lastAccess = node.lastWrite + 2;
  return node;
}

namespace {

uint64_t BlockSize(const SImageNode& directory) {
  uint64_t size = sizeof(IMAGE_DIR_HEADER);
  for (const SImageNode& child : directory.children) size += ImageEntrySize(child.name.size());
  return size;
}

uint64_t SubtreeSize(const SImageNode& directory) {
  uint64_t size = BlockSize(directory);
  for (const SImageNode& child : directory.children) {
    if (child.IsDirectory()) size += SubtreeSize(child);
  }
  return size;
}

void WriteBlock(const SImageNode& directory, uint64_t offset, uint64_t parentOffset, std::vector<uint8_t>& image) {
  uint8_t* block = image.data() + offset;
  WriteLE<uint64_t>(block + offsetof(IMAGE_DIR_HEADER, entryCount), directory.children.size());
  WriteLE<uint64_t>(block + offsetof(IMAGE_DIR_HEADER, parentBlockOffset), parentOffset);
  uint64_t entryOffset = offset + sizeof(IMAGE_DIR_HEADER);
  uint64_t childBlock = offset + BlockSize(directory);
  for (const SImageNode& child : directory.children) {
    uint8_t* entry = image.data() + entryOffset;
    WriteLE<uint64_t>(entry + offsetof(IMAGE_NODE, sizeOrBlockOffset), child.IsDirectory() ? childBlock : child.size);
    WriteLE<uint64_t>(entry + offsetof(IMAGE_NODE, allocatedSize), child.IsDirectory() ? 0 : child.allocated);
    WriteLE<uint32_t>(entry + offsetof(IMAGE_NODE, attributes), child.attributes);
    WriteLE<uint64_t>(entry + offsetof(IMAGE_NODE, lastWriteTime), child.lastWrite);
    WriteLE<uint64_t>(entry + offsetof(IMAGE_NODE, creationTime), child.creation);
    WriteLE<uint64_t>(entry + offsetof(IMAGE_NODE, lastAccessTime), child.lastAccess);
    WriteLE<uint16_t>(entry + offsetof(IMAGE_NODE, nameLength), static_cast<uint16_t>(child.name.size()));
    for (size_t i = 0; i < child.name.size(); ++i) {
      WriteLE<uint16_t>(entry + offsetof(IMAGE_NODE, name) + 2 * i, static_cast<uint16_t>(child.name[i]));
    }
    if (child.IsDirectory()) {
      WriteBlock(child, childBlock, offset, image);
      childBlock += SubtreeSize(child);
    }
    entryOffset += ImageEntrySize(child.name.size());
  }
}

// Section names of processes side by side (CTest runs many) must differ.
int ThisProcessId() {
#if defined(_WIN32)
  return _getpid();
#else
  return static_cast<int>(::getpid());
#endif
}

}  // namespace

std::vector<uint8_t> BuildImage(const SImageNode& root) {
  std::vector<uint8_t> image(SubtreeSize(root), 0);
  WriteBlock(root, 0, 0, image);
  return image;
}

CPublishedImage::CPublishedImage(const std::vector<uint8_t>& bytes) : m_size(bytes.size()) {
  static std::atomic<int> counter{0};
  m_name = AsciiToWide("Global\\OstrinTest_" + std::to_string(ThisProcessId()) + "_" + std::to_string(++counter));
  m_section = std::make_unique<ostrin::platform::CSharedSection>();
  ostrin::platform::SectionFailure failure = ostrin::platform::SectionFailure::None;
  if (!m_section->Create(m_name, bytes.size(), &failure)) {
    ADD_FAILURE() << "could not publish a test image";
    return;
  }
  std::memcpy(m_section->View(), bytes.data(), bytes.size());
  m_section->Unmap();
}

void ServeOpen(CSockStream& connection, uint32_t letter, const WString& sectionName, uint64_t reportedSize) {
  ExpectCommand(connection, ECommand::OstrinOpenDrive, letter);
  WriteAck(connection);
  WriteOpenDone(connection, letter);
  ExpectCommand(connection, ECommand::OstrinReadDir, letter);
  WriteReadDirReply(connection, sectionName, reportedSize);
}

}  // namespace ostrin::test
