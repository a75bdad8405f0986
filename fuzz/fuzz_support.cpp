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
#include "ntfs/attributes.h"
#include "ntfs/file_record.h"

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

namespace {

// The boot sector and what follows it up to this size go into every volume seed.
constexpr uint32_t BOOT_EXTENT = 4096;

void AddRange(CFuzzVolumeWriter& writer, const std::vector<uint8_t>& image, uint64_t offset, uint64_t length) {
  if (offset >= image.size()) return;
  length = std::min<uint64_t>(length, image.size() - offset);
  writer.AddExtent(offset, image.data() + offset, static_cast<uint32_t>(length));
}

void AddRuns(CFuzzVolumeWriter& writer, const std::vector<uint8_t>& image, const CAttrNonResident& attribute) {
  for (const tagDataRun_Entry* run : attribute.Runs()) {
    if (run->lcn == SPARSE_RUN_LCN) continue;
    AddRange(writer, image, static_cast<uint64_t>(run->lcn) * attribute.ClusterSize(), run->clusters * attribute.ClusterSize());
  }
}

}  // namespace

std::vector<uint8_t> MakeVolumeSeed(const std::string& imagePath) {
  const std::vector<uint8_t> image = ReadWholeFile(imagePath);
  CNTFSVolume volume;
  volume.OpenSource(std::make_shared<CImageSource>(image));
  CFuzzVolumeWriter writer(image.size());
  AddRange(writer, image, 0, BOOT_EXTENT);
  AddRuns(writer, image, *static_cast<const CAttrNonResident*>(volume.MftData()));
  for (uint64_t number = 0; number < volume.MftRecordCount(); ++number) {
    CFileRecord record(&volume);
    record.SetAttributeMask(AttributeMaskBit(ATTR_TYPE_ATTRIBUTE_LIST));
    if (!record.LoadRecord(number) || !record.BuildAttributeLists()) continue;
    for (CAttrBase* list : record.AttributesOf(ATTR_TYPE_ATTRIBUTE_LIST)) {
      if (const auto* body = dynamic_cast<const CAttrNonResident*>(list)) AddRuns(writer, image, *body);
    }
  }
  return writer.Bytes();
}

// What the code under test may write before anyone reads it.
constexpr int ANSWER_ROOM = 64 * 1024 * 1024;

CPeerPair::CPeerPair(const uint8_t* input, size_t size) : m_input(input, input + size) {
  int ends[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) Fail("socketpair failed");
  m_ours = static_cast<ostrin::platform::SocketHandle>(ends[0]);
  m_theirs = ends[1];
  ::fcntl(m_theirs, F_SETFL, ::fcntl(m_theirs, F_GETFL) | O_NONBLOCK);
  // Room for every answer the code under test writes while nobody reads: the service writes each
  // integer on its own, and each write takes a kilobyte or so of the buffer. (Past the limit its
  // writes would wait for their time-out.)
  const int room = ANSWER_ROOM;
  if (::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room) != 0) {
    ::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  }
  // Most inputs fit the socket's buffer whole: they are sent now, and what the code under test
  // answers waits in the buffer until the end, with no thread to start (that would cost more than
  // the whole run). Only a larger input needs the peer thread.
  size_t sent = 0;
  while (sent < m_input.size()) {
    const ssize_t n = ::send(m_theirs, m_input.data() + sent, m_input.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  if (sent == m_input.size()) {
    ::shutdown(m_theirs, SHUT_WR);
    return;
  }
  m_input.erase(m_input.begin(), m_input.begin() + static_cast<ptrdiff_t>(sent));
  m_peer = std::thread([this] { Serve(); });
}

CPeerPair::~CPeerPair() {
  WaitForEnd();
  ::close(m_theirs);
}

size_t CPeerPair::WaitForEnd() {
  if (m_peer.joinable()) {
    m_peer.join();
    return m_received;
  }
  // What the code under test sent while nobody read.
  uint8_t sink[16384];
  for (;;) {
    const ssize_t n = ::recv(m_theirs, sink, sizeof sink, 0);
    if (n <= 0) break;
    m_received += static_cast<size_t>(n);
  }
  return m_received;
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
