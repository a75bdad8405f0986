// Made volumes in memory for the record-level targets, and the socket pair of the wire targets.
#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "common/exceptions.h"
#include "common/text.h"
#include "fuzz/fuzz_volume.h"

namespace ostrin::fuzz {

namespace {

[[noreturn]] void Fail(const std::string& text) {
  std::fprintf(stderr, "fuzz target: %s\n", text.c_str());
  std::abort();
}

std::vector<std::string> VolumePaths() {
  const char* folder = std::getenv("OSTRIN_FUZZ_VOLUMES");
  if (folder == nullptr || *folder == '\0') {
    Fail("set OSTRIN_FUZZ_VOLUMES to the folder of made volumes (fuzz/run-fuzz and the replay test do)");
  }
  std::vector<std::string> paths;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    if (entry.path().extension() == ".img") paths.push_back(entry.path().string());
  }
  std::sort(paths.begin(), paths.end());
  if (paths.empty()) Fail(std::string("no *.img in ") + folder);
  return paths;
}

CNTFSVolume* OpenVolume(const std::string& path) {
  std::vector<uint8_t> bytes = ReadWholeFile(path);
  auto* volume = new CNTFSVolume;
  try {
    volume->OpenSource(std::make_shared<CImageSource>(std::move(bytes)));
  } catch (const CException& e) {
    Fail(path + ": " + WideToUtf8(e.Message()));
  }
  return volume;
}

}  // namespace

CNTFSVolume& FuzzVolume(uint8_t selector) {
  // Never destroyed: the volumes stay reachable to the end, as the process needs them.
  static const std::vector<std::string> paths = VolumePaths();
  static auto* volumes = new std::vector<CNTFSVolume*>(paths.size(), nullptr);
  CNTFSVolume*& volume = (*volumes)[selector % paths.size()];
  if (volume == nullptr) volume = OpenVolume(paths[selector % paths.size()]);
  return *volume;
}

CPeerPair::CPeerPair(const uint8_t* input, size_t size) : m_input(input, input + size) {
  int ends[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) Fail("socketpair failed");
  m_ours = static_cast<ostrin::platform::SocketHandle>(ends[0]);
  m_theirs = ends[1];
  ::fcntl(m_theirs, F_SETFL, ::fcntl(m_theirs, F_GETFL) | O_NONBLOCK);
  m_peer = std::thread([this] { Serve(); });
}

CPeerPair::~CPeerPair() {
  m_peer.join();
  ::close(m_theirs);
}

void CPeerPair::Serve() {
  // One thread, both directions: the code under test may answer before it has read all the input,
  // and neither side may wait for the other to read.
  size_t sent = 0;
  bool sending = true;
  if (m_input.empty()) {
    ::shutdown(m_theirs, SHUT_WR);
    sending = false;
  }
  uint8_t sink[16384];
  for (;;) {
    pollfd wait{m_theirs, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
    if (::poll(&wait, 1, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (sending && (wait.revents & POLLOUT) != 0) {
      const ssize_t n = ::send(m_theirs, m_input.data() + sent, m_input.size() - sent, MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) sent = m_input.size();  // the other end has gone
      if (sent == m_input.size()) {
        ::shutdown(m_theirs, SHUT_WR);
        sending = false;
      }
    }
    if ((wait.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n = ::recv(m_theirs, sink, sizeof sink, 0);
      if (n > 0) {
        m_received += static_cast<size_t>(n);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        return;  // the code under test has closed its end
      }
    }
  }
}

}  // namespace ostrin::fuzz
