// A read-only view of an open volume's bytes, mapped into memory where the system allows it (Linux:
// image files and block devices), so that a large table is read with no copy out of the system's
// cache. Where it does not (Windows, whose volume reads stay unbuffered; bytes from a source; a
// device read in forced sectors), there is no view and the reads of platform/volume_device.h serve.
//
// A read error under a mapping arrives as a signal, not as an error code. The view is safe against
// that in two steps: Fetch brings a range into memory first and reports an error instead of a signal
// (the caller then reads the range with ReadAt, which tells a bad sector from the rest); and should a
// page of the view still fail later (the file cut short under it, or a page dropped and read again
// with an error), that page reads as zeros from then on and Faults() counts it, so that whatever was
// read while Faults() moved is read again with ReadAt.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace ostrin::platform {

class CVolumeDevice;
class CVolumeView;

// Linux: the view of an open descriptor (platform/posix/volume_view.cpp); hangFrom is the device's
// byte from which its reads hang, for tests.
std::shared_ptr<CVolumeView> MapVolumeDescriptor(int fd, const std::atomic<uint64_t>* hangFrom);

class CVolumeView {
 public:
  // The whole of an open device mapped read-only; null where the system offers no view of it. The
  // view stays valid after the device is closed.
  static std::shared_ptr<CVolumeView> Map(const CVolumeDevice& device);

  ~CVolumeView();
  CVolumeView(const CVolumeView&) = delete;
  CVolumeView& operator=(const CVolumeView&) = delete;

  // The volume's bytes [0, Size()).
  const uint8_t* Data() const { return m_data; }
  uint64_t Size() const { return m_size; }
  bool Covers(uint64_t offset, uint64_t length) const { return offset <= m_size && length <= m_size - offset; }

  // Brings [offset, offset + length), which the view covers, into memory. False when a part of it
  // cannot be read, with the system's last error set. On a thread with a platform::CReadGiveUp it is
  // bounded as a read is: it fails with ErrorReadGivenUp() once the check says so.
  bool Fetch(uint64_t offset, size_t length) const;

  // Lets the pages that lie wholly inside [offset, offset + length) go from the view (not from the
  // system's cache): a range read once costs nothing more to keep, nor to unmap with the view. A later
  // read of it fetches it again.
  void Drop(uint64_t offset, size_t length) const;

  // How many pages of the view have failed since it was made (see above).
  uint64_t Faults() const;

 private:
  friend std::shared_ptr<CVolumeView> MapVolumeDescriptor(int fd, const std::atomic<uint64_t>* hangFrom);
  struct Guard;
  CVolumeView(const uint8_t* data, uint64_t size, std::unique_ptr<Guard> guard);

  const uint8_t* m_data;
  uint64_t m_size;
  std::unique_ptr<Guard> m_guard;
  // Keeps the view itself alive while a bounded fetch runs on after its caller gave it up.
  std::weak_ptr<CVolumeView> m_self;
};

}  // namespace ostrin::platform
