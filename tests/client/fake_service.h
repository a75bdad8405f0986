// A stand-in for OstrinNT on 127.0.0.1:49020 that answers one client connection with a scripted
// exchange, for the replies the real service never sends; and drive images built by hand and
// published in shared sections for it to hand out.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/protocol.h"
#include "common/sock_stream.h"
#include "platform/shared_section.h"
#include "platform/types.h"

namespace ostrin::test {

class CFakeService {
 public:
  using Script = std::function<void(CSockStream& connection)>;

  // Listens on CLIENT_PORT now; a thread accepts one connection and runs the script on it, then
  // closes the connection.
  explicit CFakeService(Script script);
  // Waits for the script to end.
  ~CFakeService();
  CFakeService(const CFakeService&) = delete;
  CFakeService& operator=(const CFakeService&) = delete;

  void Join();

 private:
  bool m_socketsStarted = false;
  CSockStream m_listener{ESockSide::Service};
  std::thread m_thread;
};

// Script steps. Each reads what the client must have sent and fails the test when it differs.
void ExpectHello(CSockStream& connection);
void ExpectCommand(CSockStream& connection, ECommand command, uint32_t letter);
// Hello and its Ack.
void Greet(CSockStream& connection);
// True when the client sends nothing for ms milliseconds (or closes the connection).
bool ClientSilent(CSockStream& connection, int ms);

// One entry of a hand-built image.
struct SImageNode {
  WString name;
  uint32_t attributes = 0;
  uint64_t size = 0;
  uint64_t allocated = 0;
  uint64_t lastWrite = 0, creation = 0, lastAccess = 0;
  std::vector<SImageNode> children;  // directories only; written in this order
  bool IsDirectory() const { return (attributes & 0x10) != 0; }
};
SImageNode ImageDirectory(const WString& name, std::vector<SImageNode> children, uint32_t attributes = 0x10);
SImageNode ImageFile(const WString& name, uint64_t size, uint64_t allocated = 0, uint32_t attributes = 0x20);

// The image of a tree in the layout the service writes: blocks depth first, entries in the order given.
std::vector<uint8_t> BuildImage(const SImageNode& root);

// An image published in a shared section of a name of its own.
class CPublishedImage {
 public:
  explicit CPublishedImage(const std::vector<uint8_t>& bytes);
  const WString& Name() const { return m_name; }
  uint64_t Size() const { return m_size; }

 private:
  WString m_name;
  uint64_t m_size = 0;
  std::unique_ptr<ostrin::platform::CSharedSection> m_section;
};

// The service's side of an open that succeeds at once: the Ack of OstrinOpenDrive, OpenDone, and the
// reply to OstrinReadDir naming the section with the given size.
void ServeOpen(CSockStream& connection, uint32_t letter, const WString& sectionName, uint64_t reportedSize);

}  // namespace ostrin::test
