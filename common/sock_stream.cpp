// The socket stream of both deliverables.
#include "common/sock_stream.h"

#include <limits>
#include <new>

#include "common/byte_order.h"
#include "common/exceptions.h"
#include "platform/system_error.h"

namespace platform = ostrin::platform;

void CWireBuffer::PutU32(uint32_t value) {
  const size_t at = m_bytes.size();
  m_bytes.resize(at + sizeof value);
  WriteLE(m_bytes.data() + at, value);
}

void CWireBuffer::PutU64(uint64_t value) {
  const size_t at = m_bytes.size();
  m_bytes.resize(at + sizeof value);
  WriteLE(m_bytes.data() + at, value);
}

void CWireBuffer::PutString(const WString& text) {
  PutU32(static_cast<uint32_t>(text.size()));
  const size_t at = m_bytes.size();
  m_bytes.resize(at + 2 * text.size());
  for (size_t i = 0; i < text.size(); ++i) WriteLE(m_bytes.data() + at + 2 * i, static_cast<uint16_t>(text[i]));
}

CSockStream::CSockStream(ESockSide side) : m_side(side) {}

CSockStream::~CSockStream() {
  // A stream that does not own its socket leaves it to the one who does (see Close).
  if (!ownsHandle) handle.Release();
}

int32_t CSockStream::WaitMs() const {
  // The limit is whole seconds per wait; a value that cannot be a time is taken as "do not wait".
  if (timeoutSeconds <= 0) return 0;
  if (timeoutSeconds > std::numeric_limits<int32_t>::max() / 1000) return std::numeric_limits<int32_t>::max();
  return timeoutSeconds * 1000;
}

void CSockStream::Read(void* buffer, size_t count) {
  if (!handle.IsValid() || closed) ThrowError<CSockException>(SOCK_READ_NOT_OPEN);
  auto* out = static_cast<unsigned char*>(buffer);
  size_t received = 0;
  while (received < count) received += ReadSome(out + received, count - received);
}

size_t CSockStream::ReadSome(void* buffer, size_t count) {
  if (!handle.IsValid() || closed) ThrowError<CSockException>(SOCK_READ_NOT_OPEN);
  for (;;) {
    if (platform::WaitSocket(handle.Get(), platform::SocketReadiness::Readable, WaitMs()) !=
        platform::SocketWait::Ready) {
      ThrowError<CSockException>(SOCK_READ_TIMEOUT);
    }
    const platform::SocketIoResult result = platform::ReceiveSocket(handle.Get(), buffer, count);
    if (result.status == platform::SocketIoStatus::Transferred && result.bytes > 0) return result.bytes;
    // The data that woke the wait has gone elsewhere: that is no failure on either side.
    if (result.status == platform::SocketIoStatus::WouldBlock) continue;
    if (m_side == ESockSide::Service || result.status == platform::SocketIoStatus::PeerClosed) {
      closed = true;
      ThrowError<CSockException>(SOCK_READ_PEER_CLOSED);
    }
    ThrowError<CSockException>(SOCK_READ_ERROR);
  }
}

void CSockStream::Write(const void* buffer, size_t count) {
  if (!handle.IsValid() || closed) ThrowError<CSockException>(SOCK_WRITE_NOT_OPEN);
  const auto* in = static_cast<const unsigned char*>(buffer);
  size_t sent = 0;
  while (sent < count) {
    if (platform::WaitSocket(handle.Get(), platform::SocketReadiness::Writable, WaitMs()) !=
        platform::SocketWait::Ready) {
      ThrowError<CSockException>(SOCK_WRITE_TIMEOUT);
    }
    const platform::SocketIoResult result = platform::SendSocket(handle.Get(), in + sent, count - sent);
    switch (result.status) {
      case platform::SocketIoStatus::Transferred:
        sent += result.bytes;
        break;
      case platform::SocketIoStatus::WouldBlock:
        break;  // the wait said writable but the room went; wait again
      case platform::SocketIoStatus::Broken:
        closed = true;
        ThrowError<CSockException>(SOCK_WRITE_PEER_CLOSED);
      case platform::SocketIoStatus::PeerClosed:
      case platform::SocketIoStatus::Failed:
        ThrowError<CSockException>(SOCK_WRITE_ERROR);
    }
  }
}

uint32_t CSockStream::ReadU32() {
  unsigned char bytes[4];
  Read(bytes, sizeof bytes);
  return ReadLE<uint32_t>(bytes);
}

uint64_t CSockStream::ReadU64() {
  unsigned char bytes[8];
  Read(bytes, sizeof bytes);
  return ReadLE<uint64_t>(bytes);
}

void CSockStream::WriteU32(uint32_t value) {
  unsigned char bytes[4];
  WriteLE(bytes, value);
  Write(bytes, sizeof bytes);
}

void CSockStream::WriteU64(uint64_t value) {
  unsigned char bytes[8];
  WriteLE(bytes, value);
  Write(bytes, sizeof bytes);
}

WString CSockStream::ReadString() {
  const auto count = static_cast<int32_t>(ReadU32());
  if (count == 0) return WString();
  // The count comes from the peer: refuse nonsense before allocating or reading anything.
  if (count < 0 || count > MAX_WIRE_STRING_UNITS) ThrowError<CSockException>(SOCK_STRING_OUT_OF_MEMORY);
  std::vector<unsigned char> bytes;
  try {
    bytes.resize(2 * static_cast<size_t>(count));
  } catch (const std::bad_alloc&) {
    ThrowError<CSockException>(SOCK_STRING_OUT_OF_MEMORY);
  }
  Read(bytes.data(), bytes.size());
  WString text;
  text.reserve(static_cast<size_t>(count));
  for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
    const auto unit = static_cast<WCHAR>(ReadLE<uint16_t>(bytes.data() + 2 * i));
    if (unit == 0) break;  // the text ends at its first NUL
    text.push_back(unit);
  }
  return text;
}

void CSockStream::WriteString(const WString& text) {
  CWireBuffer message;
  message.PutString(text);
  Write(message);
}

void CSockStream::Bind(int32_t port) {
  handle.Reset(platform::CreateTcpSocket());
  closed = false;
  if (!handle.IsValid()) ThrowError<CSockException>(SOCK_INVALID_SOCKET);
  // A restarted service must be able to bind while connections of its previous run linger, and no
  // other program may bind the port beside it.
  platform::SetListenerAddressOptions(handle.Get());
  if (!platform::BindLoopback(handle.Get(), static_cast<uint16_t>(port & 0xFFFF))) {
    // The system's reason outlives the close, for whoever reports the failure.
    const uint32_t error = platform::LastSystemError();
    handle.Reset();
    platform::SetLastSystemError(error);
    ThrowError<CSockException>(SOCK_BIND_FAILED);
  }
}

void CSockStream::Listen() {
  if (!handle.IsValid() || !platform::ListenSocket(handle.Get())) {
    const uint32_t error = platform::LastSystemError();
    handle.Reset();
    platform::SetLastSystemError(error);
    ThrowError<CSockException>(SOCK_LISTEN_FAILED);
  }
}

platform::SocketWait CSockStream::WaitReadable(int32_t timeoutMs) const {
  return platform::WaitSocket(handle.Get(), platform::SocketReadiness::Readable, timeoutMs);
}

std::unique_ptr<CSockStream> CSockStream::Accept() {
  if (!handle.IsValid()) ThrowError<CSockException>(SOCK_ACCEPT_FAILED);
  std::string peer;
  platform::UniqueSocket accepted(platform::AcceptConnection(handle.Get(), &peer));
  if (!accepted.IsValid()) ThrowError<CSockException>(SOCK_ACCEPT_FAILED);
  auto connection = std::make_unique<CSockStream>(m_side);
  connection->handle = std::move(accepted);
  connection->timeoutSeconds = STREAM_TIMEOUT_SECONDS;
  connection->ownsHandle = false;
  connection->peerAddress = std::move(peer);
  return connection;
}

void CSockStream::Connect(const std::string& hostName, uint16_t port) {
  // A new connection replaces the old one entirely, including what was learnt about its peer.
  handle.Reset(platform::CreateTcpSocket());
  closed = false;
  hostAddress.clear();
  if (!handle.IsValid()) ThrowError<CSockException>(SOCK_INVALID_SOCKET);
  uint32_t address = 0;
  if (!platform::LookupHostIPv4(hostName, &address, &hostAddress)) {
    handle.Reset();
    ThrowError<CSockException>(SOCK_HOST_LOOKUP_FAILED);
  }
  if (!platform::ConnectSocket(handle.Get(), address, port)) {
    handle.Reset();
    ThrowError<CSockException>(SOCK_CONNECT_FAILED);
  }
}

void CSockStream::Close() { handle.Reset(); }

uint16_t CSockStream::LocalPort() const { return platform::LocalPort(handle.Get()); }
