// Local users on Windows: the process that owns a loopback peer's port (GetExtendedTcpTable) and its
// token's user and groups; the readers of a volume from its DACL.
#include "platform/local_user.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <aclapi.h>
#include <iphlpapi.h>
#include <sddl.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/win32/unique_handle.h"

namespace ostrin::platform {

struct CLocalUser::State {
  std::wstring sid;
  std::vector<std::wstring> groups;  // the token's enabled groups, deny-only ones left out
  std::wstring name;
};

namespace {

constexpr wchar_t LOCAL_SYSTEM_SID[] = L"S-1-5-18";
// Who may open a raw volume device: the administrators.
constexpr wchar_t ADMINISTRATORS_SID[] = L"S-1-5-32-544";
// How often, and how long apart, a connection's owner is looked for again when the table names none.
constexpr int OWNER_TRIES = 4;
constexpr DWORD OWNER_PAUSE_MS = 50;

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return {};
  std::wstring result(text);
  LocalFree(text);
  return result;
}

// Token information of a class, whole; empty on failure.
std::vector<unsigned char> TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD size = 0;
  GetTokenInformation(token, kind, nullptr, 0, &size);
  if (size == 0) return {};
  std::vector<unsigned char> buffer(size);
  if (!GetTokenInformation(token, kind, buffer.data(), size, &size)) return {};
  return buffer;
}

std::wstring AccountName(PSID sid) {
  wchar_t name[256];
  wchar_t domain[256];
  DWORD nameLength = 256;
  DWORD domainLength = 256;
  SID_NAME_USE use = SidTypeUnknown;
  if (!LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) return {};
  return std::wstring(domain) + L"\\" + name;
}

bool StateOfToken(HANDLE token, CLocalUser::State* state) {
  const std::vector<unsigned char> user = TokenInformation(token, TokenUser);
  if (user.empty()) return false;
  PSID sid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
  state->sid = SidText(sid);
  if (state->sid.empty()) return false;
  state->name = AccountName(sid);
  const std::vector<unsigned char> groups = TokenInformation(token, TokenGroups);
  if (!groups.empty()) {
    const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
    for (DWORD i = 0; i < list->GroupCount; ++i) {
      const DWORD attributes = list->Groups[i].Attributes;
      if ((attributes & SE_GROUP_ENABLED) == 0 || (attributes & SE_GROUP_USE_FOR_DENY_ONLY) != 0) continue;
      std::wstring text = SidText(list->Groups[i].Sid);
      if (!text.empty()) state->groups.push_back(std::move(text));
    }
  }
  return true;
}

// The system's table of TCP connections with their owning processes, read one at a time: a lookup
// waits for a read that began after it asked, and every lookup that asked while one read ran shares
// the next. A read costs the same for one connection as for all of them (under Wine a tenth of a
// second or more), so fifty clients that connect at once cost two reads, not fifty.
class CTcpTableReads {
 public:
  // The process that holds the TCP socket whose own end is own and whose remote end is remote (in
  // network byte order); 0 when there is none, with the reason as the last error.
  DWORD OwnerOf(const sockaddr_in& own, const sockaddr_in& remote) {
    std::unique_lock lock(m_mutex);
    const uint64_t wanted = m_started + 1;
    while (m_finished < wanted) {
      if (m_reading) {
        m_done.wait(lock);
        continue;
      }
      m_reading = true;
      ++m_started;
      lock.unlock();
      std::vector<unsigned char> table;
      const DWORD result = ReadTable(&table);
      lock.lock();
      m_table = std::move(table);
      m_result = result;
      m_finished = m_started;
      m_reading = false;
      m_done.notify_all();
    }
    if (m_result != NO_ERROR) {
      SetLastError(m_result);
      return 0;
    }
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(m_table.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const MIB_TCPROW_OWNER_PID& row = table->table[i];
      if (row.dwState == MIB_TCP_STATE_LISTEN || row.dwLocalAddr != own.sin_addr.s_addr ||
          static_cast<u_short>(row.dwLocalPort) != own.sin_port || row.dwRemoteAddr != remote.sin_addr.s_addr ||
          static_cast<u_short>(row.dwRemotePort) != remote.sin_port) {
        continue;
      }
      // 0 for a connection that no process holds any more.
      if (row.dwOwningPid != 0) return row.dwOwningPid;
      break;
    }
    SetLastError(ERROR_NOT_FOUND);
    return 0;
  }

 private:
  static DWORD ReadTable(std::vector<unsigned char>* buffer) {
    DWORD size = 0;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    // The table may grow between the size query and the read.
    for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
      buffer->resize(size + 4096);
      size = static_cast<DWORD>(buffer->size());
      result = GetExtendedTcpTable(buffer->data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
    }
    return result;
  }

  std::mutex m_mutex;
  std::condition_variable m_done;
  bool m_reading = false;
  uint64_t m_started = 0;   // reads begun
  uint64_t m_finished = 0;  // the read whose table m_table is
  std::vector<unsigned char> m_table;
  DWORD m_result = NO_ERROR;
};

DWORD OwnerOfConnection(const sockaddr_in& own, const sockaddr_in& remote) {
  // Never destroyed: connection threads may still look while the process ends.
  static CTcpTableReads* const reads = new CTcpTableReads;
  return reads->OwnerOf(own, remote);
}

std::wstring SidOfName(const std::string& name) {
  if (name.empty()) return {};
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof sid;
  wchar_t domain[256];
  DWORD domainLength = 256;
  SID_NAME_USE use = SidTypeUnknown;
  const WString wide = Utf8ToWide(name);
  if (!LookupAccountNameW(nullptr, wide.c_str(), sid, &sidSize, domain, &domainLength, &use)) return {};
  return SidText(sid);
}

CSectionReaders ServiceAlone() {
  CSectionReaders readers;
  readers.everyone = false;
  return readers;
}

CSectionReaders ReadersOfSid(const std::wstring& sid) {
  CSectionReaders readers = ServiceAlone();
  if (!sid.empty()) readers.principals.push_back(WideToUtf8(sid));
  return readers;
}

// Those whom the volume's DACL lets read it: the principals of its allowing entries for reading, less
// those that an entry denies it. A volume without a DACL may be read by everyone.
CSectionReaders ReadersOfVolume(WCHAR letter, const std::string& location) {
  std::wstring path = location.empty() ? std::wstring(L"\\\\.\\") + letter + L":" : std::wstring(Utf8ToWide(location));
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            &descriptor) != ERROR_SUCCESS) {
    // A raw device whose security cannot be read: only administrators may open one.
    return location.empty() ? ReadersOfSid(ADMINISTRATORS_SID) : ServiceAlone();
  }
  if (dacl == nullptr) {
    LocalFree(descriptor);
    return {};
  }
  constexpr ACCESS_MASK READS = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
  std::vector<std::wstring> allowed;
  std::vector<std::wstring> denied;
  ACL_SIZE_INFORMATION size = {};
  GetAclInformation(dacl, &size, sizeof size, AclSizeInformation);
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
      if ((ace->Mask & READS) != 0) allowed.push_back(SidText(&ace->SidStart));
    } else if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
      auto* ace = static_cast<ACCESS_DENIED_ACE*>(entry);
      if ((ace->Mask & READS) != 0) denied.push_back(SidText(&ace->SidStart));
    }
  }
  LocalFree(descriptor);
  CSectionReaders readers = ServiceAlone();
  for (const std::wstring& sid : allowed) {
    if (sid.empty() || std::find(denied.begin(), denied.end(), sid) != denied.end()) continue;
    readers.principals.push_back(WideToUtf8(sid));
  }
  return readers;
}

}  // namespace

bool CLocalUser::FindPeer(SocketHandle socket) {
  m_state.reset();
  sockaddr_in local = {};
  sockaddr_in peer = {};
  int localLength = sizeof local;
  int peerLength = sizeof peer;
  const auto native = static_cast<SOCKET>(socket);
  if (getsockname(native, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
      getpeername(native, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
    SetLastError(static_cast<DWORD>(WSAGetLastError()));
    return false;
  }
  DWORD pid = OwnerOfConnection(peer, local);
  // Wine names a socket's process only once that process has used the socket itself (connecting is
  // done for it); the service asks again once the client has sent something.
  for (int tries = 0; pid == 0 && tries < OWNER_TRIES; ++tries) {
    Sleep(OWNER_PAUSE_MS);
    pid = OwnerOfConnection(peer, local);
  }
  if (pid == 0) return false;
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process.IsValid()) return false;
  HANDLE token = nullptr;
  if (!OpenProcessToken(process.Get(), TOKEN_QUERY, &token)) return false;
  UniqueHandle ownedToken(token);
  auto state = std::make_unique<State>();
  if (!StateOfToken(token, state.get())) return false;
  m_state = std::move(state);
  return true;
}

CLocalUser CLocalUser::OfThisProcess() {
  CLocalUser user;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return user;
  UniqueHandle ownedToken(token);
  auto state = std::make_unique<State>();
  if (StateOfToken(token, state.get())) user.m_state = std::move(state);
  return user;
}

std::string CLocalUser::Id() const { return m_state ? WideToUtf8(m_state->sid) : std::string(); }

WString CLocalUser::Describe() const {
  if (!m_state) return WTEXT("unknown user");
  return (m_state->name.empty() ? m_state->sid : m_state->name + L" (" + m_state->sid + L")");
}

EAccessRule DefaultAccessRule() { return EAccessRule::Everyone; }

CSectionReaders SectionReadersOf(const CAccessRule& rule, WCHAR letter, const std::string& location) {
  switch (rule.kind) {
    case EAccessRule::Everyone:
      return {};
    case EAccessRule::Group:
      return ReadersOfSid(SidOfName(rule.group));
    case EAccessRule::Volume:
      break;
  }
  return ReadersOfVolume(letter, location);
}

bool MayReadDrive(const CLocalUser& user, const CAccessRule& rule, WCHAR letter, const std::string& location) {
  if (!user.IsKnown()) return false;
  const CLocalUser::State& state = *user.Get();
  if (state.sid == LOCAL_SYSTEM_SID) return true;
  const CSectionReaders readers = SectionReadersOf(rule, letter, location);
  if (readers.everyone) return true;
  return std::any_of(readers.principals.begin(), readers.principals.end(), [&state](const std::string& principal) {
    const std::wstring sid(Utf8ToWide(principal));
    return sid == state.sid || std::find(state.groups.begin(), state.groups.end(), sid) != state.groups.end();
  });
}

}  // namespace ostrin::platform
