// What several fuzz targets share: the made volumes that record-level targets parse against, and a
// connected socket pair whose far end plays a peer that sends the fuzz input and reads whatever comes
// back. Linux only, like the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "ntfs/ntfs_volume.h"
#include "platform/socket.h"

namespace ostrin::fuzz {

// The volume that an input's selector byte picks among the *.img files, in name order, of the folder
// named by OSTRIN_FUZZ_VOLUMES: read into memory and opened through CNTFSVolume::OpenSource on first
// use, kept for the life of the process. Aborts with a message when the folder names no volume
// (fuzz/run-fuzz and the replay test set it).
CNTFSVolume& FuzzVolume(uint8_t selector);

// The seed of the whole-volume target from a made image: its boot sector, its MFT through the MFT's
// runs, and the clusters of every non-resident attribute list, in the sparse format (fuzz_volume.h).
// Throws CException when the image is no volume.
std::vector<uint8_t> MakeVolumeSeed(const std::string& imagePath);

// A connected pair of stream sockets. The code under test gets Ours(); a thread of the pair writes
// the input on the other end, then ends that direction (the code under test reads the input and then
// the end of the stream), and reads and drops everything the code under test sends until it closes
// its end. The destructor waits for that thread: close Ours() first.
class CPeerPair {
 public:
  CPeerPair(const uint8_t* input, size_t size);
  ~CPeerPair();
  CPeerPair(const CPeerPair&) = delete;
  CPeerPair& operator=(const CPeerPair&) = delete;

  // The end for the code under test; whoever takes it closes it.
  ostrin::platform::SocketHandle Ours() const { return m_ours; }
  // Waits until the code under test has closed its end; returns how many bytes it sent.
  size_t WaitForEnd();

 private:
  void Serve();

  ostrin::platform::SocketHandle m_ours = ostrin::platform::INVALID_SOCKET_HANDLE;
  int m_theirs = -1;
  std::vector<uint8_t> m_input;
  size_t m_received = 0;
  std::thread m_peer;
};

}  // namespace ostrin::fuzz
