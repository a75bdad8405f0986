// Named shared sections on Windows: paging-file mappings readable by their readers, writable by the
// service. Making a "Global\" section takes a privilege that ordinary users lack, so no one else can
// make or replace one.
#include "platform/shared_section.h"

#include <windows.h>
#include <sddl.h>

#include <string>

#include "platform/text.h"
#include "platform/win32/unique_handle.h"

namespace ostrin::platform {

namespace {

// Full access for the system account and for the section's owner (the service's account), then read
// access for each reader. Never a null DACL: that would let any local process rewrite the image others
// walk.
constexpr wchar_t SECTION_SECURITY_SERVICE[] = L"D:P(A;;GA;;;SY)(A;;GA;;;OW)";
constexpr wchar_t EVERYONE_SID[] = L"WD";

std::wstring SectionSecurity(const CSectionReaders& readers) {
  std::wstring security = SECTION_SECURITY_SERVICE;
  const auto grantRead = [&security](const std::wstring& sid) { security += L"(A;;GR;;;" + sid + L")"; };
  if (readers.everyone) {
    grantRead(EVERYONE_SID);
  } else {
    for (const std::string& principal : readers.principals) grantRead(std::wstring(Utf8ToWide(principal)));
  }
  return security;
}

}  // namespace

struct CSharedSection::State {
  UniqueHandle mapping;
  void* view = nullptr;
};

CSharedSection::CSharedSection() : m_state(std::make_unique<State>()) {}

CSharedSection::~CSharedSection() { Close(); }

bool CSharedSection::Create(const WString& name, uint64_t size, SectionFailure* failure,
                            const CSectionReaders& readers) {
  Close();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const std::wstring security = SectionSecurity(readers);
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(security.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    *failure = SectionFailure::Security;
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, TRUE};
  UniqueHandle mapping(CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE,
                                          static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), name.c_str()));
  const DWORD error = GetLastError();
  LocalFree(descriptor);
  if (!mapping.IsValid()) {
    *failure = SectionFailure::Create;
    SetLastError(error);
    return false;
  }
  if (error == ERROR_ALREADY_EXISTS) {
    // A client still maps the image of an earlier open of this drive; writing into that section would
    // change an image it is reading.
    *failure = SectionFailure::Create;
    mapping.Reset();
    SetLastError(ERROR_ALREADY_EXISTS);
    return false;
  }
  void* view = MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, static_cast<SIZE_T>(size));
  if (view == nullptr) {
    *failure = SectionFailure::Map;
    return false;
  }
  m_state->mapping = std::move(mapping);
  m_state->view = view;
  *failure = SectionFailure::None;
  return true;
}

void* CSharedSection::View() const { return m_state->view; }

void CSharedSection::Unmap() {
  if (m_state->view != nullptr) UnmapViewOfFile(m_state->view);
  m_state->view = nullptr;
}

void CSharedSection::Close() {
  Unmap();
  m_state->mapping.Reset();
}

bool CSharedSection::IsOpen() const { return m_state->mapping.IsValid(); }

struct CSectionView::State {
  UniqueHandle mapping;
  const void* data = nullptr;
  uint64_t size = 0;
};

CSectionView::CSectionView() : m_state(std::make_unique<State>()) {}

CSectionView::~CSectionView() { Close(); }

bool CSectionView::Open(const WString& name) {
  Close();
  m_state->mapping.Reset(OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()));
  return m_state->mapping.IsValid();
}

bool CSectionView::Map() {
  if (!m_state->mapping.IsValid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const void* data = MapViewOfFile(m_state->mapping.Get(), FILE_MAP_READ, 0, 0, 0);
  if (data == nullptr) return false;
  MEMORY_BASIC_INFORMATION region = {};
  VirtualQuery(data, &region, sizeof region);
  m_state->data = data;
  m_state->size = region.RegionSize;
  return true;
}

const void* CSectionView::Data() const { return m_state->data; }

uint64_t CSectionView::Size() const { return m_state->size; }

void CSectionView::Close() {
  if (m_state->data != nullptr) UnmapViewOfFile(m_state->data);
  m_state->data = nullptr;
  m_state->size = 0;
  m_state->mapping.Reset();
}

// A section ends with its last handle, whatever became of the process that made it.
size_t RemoveStaleSections(const WString& /*namePrefix*/) { return 0; }

// The "Global\" namespace is the system's: nothing to make ready.
bool PrepareSectionFolder(std::string* /*problem*/) { return true; }

std::string SectionPath(const WString& name) { return WideToUtf8(name); }

}  // namespace ostrin::platform
