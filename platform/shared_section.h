// Named shared sections: the service publishes a drive image in one, clients map it read-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/local_user.h"
#include "platform/types.h"

namespace ostrin::platform {

// Why creating a section failed.
enum class SectionFailure {
  None,
  Security,      // the access rules of the section could not be built
  Create,        // the section could not be created (or one of that name still exists)
  Map,           // the section could not be mapped for writing
};

// A section the service creates and owns. Its readers may read it; only the creating account may write
// or change it. It is created fresh every time: an image another process may still be reading is never
// written into. The section (and its name) goes away with Close once no other process holds it.
// On Linux the section is marked as owned by a running process for as long as it is open, so that
// RemoveStaleSections of another service never takes it; and sections live in a folder of the
// service's own (SectionFolder), where no other user can make or replace one.
class CSharedSection {
 public:
  CSharedSection();
  ~CSharedSection();
  CSharedSection(const CSharedSection&) = delete;
  CSharedSection& operator=(const CSharedSection&) = delete;

  // Creates the section "name" of size bytes, readable by the readers given from the moment it exists,
  // and maps it for writing. On failure returns false with the failure kind and the system's last
  // error set; nothing is left open.
  bool Create(const WString& name, uint64_t size, SectionFailure* failure, const CSectionReaders& readers = {});
  // The writable view of a section just created (null once Unmap has run).
  void* View() const;
  // Unmaps the writable view; the section stays.
  void Unmap();
  // Unmaps and closes the section; its name is released.
  void Close();
  bool IsOpen() const;

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

// A read-only view of a section that another process published.
class CSectionView {
 public:
  CSectionView();
  ~CSectionView();
  CSectionView(const CSectionView&) = delete;
  CSectionView& operator=(const CSectionView&) = delete;

  // Opens the section "name" for reading; false with the system's last error set when it cannot.
  bool Open(const WString& name);
  // Maps the whole section read-only; false with the system's last error set when it cannot. On Linux
  // only a section that the service made is mapped: a regular file in the service's folder, owned by
  // that folder's owner, that neither its group nor others may write (else EPERM).
  bool Map();
  const void* Data() const;
  // Bytes mapped (the section's size as the system reports it; a multiple of the page size on Windows).
  uint64_t Size() const;
  void Close();

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

// Removes the sections whose names start with namePrefix and that no running process owns: those
// that a process ended without closing (killed, crashed). Their memory stays reserved until their name
// is removed; processes that still map such a section keep reading it. Returns how many were removed.
// Linux only: on Windows a section ends with its last handle, and this does nothing.
size_t RemoveStaleSections(const WString& namePrefix);

// Makes ready the folder the service's sections live in, at the service's start: on Linux
// /dev/shm/OstrinNT, made when missing, owned by this process's user with mode 0755. False with the
// problem worded in *problem when it cannot be used (one that someone else made, or of another kind
// or mode, is left as it is: no section is made in it). Always true on Windows.
bool PrepareSectionFolder(std::string* problem);

// The file that holds the section "name" on Linux ("/dev/shm/OstrinNT/OstrinNT_Drive_C-..."), for
// tools and tests that look at it; the name itself on Windows.
std::string SectionPath(const WString& name);

}  // namespace ostrin::platform
