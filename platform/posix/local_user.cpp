// Local users on Linux: the uid of a loopback peer from the kernel's socket table (sock_diag netlink,
// /proc/net/tcp when netlink is not there), and groups and file modes for the access rule.
#include "platform/local_user.h"

#include <arpa/inet.h>
#include <grp.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/posix/unique_fd.h"

namespace ostrin::platform {

struct CLocalUser::State {
  uid_t uid = 0;
};

namespace {

// The two ends of a loopback connection, in network byte order.
struct SConnectionEnds {
  uint32_t localAddress = 0;
  uint16_t localPort = 0;
  uint32_t peerAddress = 0;
  uint16_t peerPort = 0;
};

bool EndsOf(SocketHandle socket, SConnectionEnds* ends) {
  sockaddr_in local = {};
  sockaddr_in peer = {};
  socklen_t localLength = sizeof local;
  socklen_t peerLength = sizeof peer;
  const int fd = static_cast<int>(socket);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
    return false;
  }
  if (local.sin_family != AF_INET || peer.sin_family != AF_INET) {
    errno = EAFNOSUPPORT;
    return false;
  }
  ends->localAddress = local.sin_addr.s_addr;
  ends->localPort = local.sin_port;
  ends->peerAddress = peer.sin_addr.s_addr;
  ends->peerPort = peer.sin_port;
  return true;
}

// The answer to a netlink request may not take longer than this.
constexpr timeval NETLINK_WAIT = {1, 0};

// The peer's socket from the kernel's table by sock_diag: the one exact socket whose own end is the
// peer's and whose remote end is ours. Only a socket that a process still holds (it has an inode)
// tells its owner: one in TIME_WAIT, or a socket being set up, reports uid 0 and is no answer.
// nullopt with errno set when the question cannot be asked; otherwise whether the socket was found.
std::optional<bool> PeerUidByNetlink(const SConnectionEnds& ends, uid_t* uid) {
  UniqueFd netlink(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!netlink.IsValid()) return std::nullopt;
  setsockopt(netlink.Get(), SOL_SOCKET, SO_RCVTIMEO, &NETLINK_WAIT, sizeof NETLINK_WAIT);
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message = {};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.header.nlmsg_seq = 1;
  message.request.sdiag_family = AF_INET;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0U;
  message.request.id.idiag_sport = ends.peerPort;
  message.request.id.idiag_dport = ends.localPort;
  message.request.id.idiag_src[0] = ends.peerAddress;
  message.request.id.idiag_dst[0] = ends.localAddress;
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel = {};
  kernel.nl_family = AF_NETLINK;
  if (sendto(netlink.Get(), &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    return std::nullopt;
  }
  alignas(nlmsghdr) char buffer[8192];
  ssize_t received = -1;
  do {
    received = recv(netlink.Get(), buffer, sizeof buffer, 0);
  } while (received < 0 && errno == EINTR);
  if (received < 0) return std::nullopt;
  int length = static_cast<int>(received);
  for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, length); header = NLMSG_NEXT(header, length)) {
    if (header->nlmsg_type == NLMSG_ERROR) {
      if (header->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) break;
      const int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
      // The exact lookup answers ENOENT for a socket that is not there.
      if (error == ENOENT) {
        errno = ENOENT;
        return false;
      }
      errno = error;
      return std::nullopt;
    }
    if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
    const auto* socketInfo = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
    const inet_diag_sockid& id = socketInfo->id;
    // A listener that happens to hold the peer's port is not the peer.
    if (id.idiag_sport != ends.peerPort || id.idiag_dport != ends.localPort || id.idiag_src[0] != ends.peerAddress ||
        id.idiag_dst[0] != ends.localAddress || socketInfo->idiag_state == TCP_LISTEN || socketInfo->idiag_inode == 0) {
      continue;
    }
    *uid = socketInfo->idiag_uid;
    return true;
  }
  errno = ENOENT;
  return false;
}

// The same from /proc/net/tcp, whose addresses are the 32-bit words as the kernel holds them, in
// hexadecimal, with the ports in host order.
bool PeerUidByProcTable(const SConnectionEnds& ends, uid_t* uid) {
  // Plain stdio: this runs when descriptors may be short, and allocates no more than it must.
  std::unique_ptr<FILE, int (*)(FILE*)> table(std::fopen("/proc/net/tcp", "re"), &std::fclose);
  if (!table) return false;
  char local[32];
  char remote[32];
  std::snprintf(local, sizeof local, "%08X:%04X", ends.peerAddress, ntohs(ends.peerPort));
  std::snprintf(remote, sizeof remote, "%08X:%04X", ends.localAddress, ntohs(ends.localPort));
  char line[512];
  // The first line names the columns: sl local rem st tx:rx tr:when retrnsmt uid timeout inode.
  for (bool header = true; std::fgets(line, sizeof line, table.get()) != nullptr; header = false) {
    char localText[64];
    char remoteText[64];
    unsigned state = 0;
    unsigned long owner = 0;
    unsigned long inode = 0;
    if (header || std::sscanf(line, " %*s %63s %63s %x %*s %*s %*s %lu %*s %lu", localText, remoteText, &state, &owner,
                              &inode) != 5) {
      continue;
    }
    if (std::strcmp(localText, local) != 0 || std::strcmp(remoteText, remote) != 0 || state == TCP_LISTEN || inode == 0) {
      continue;
    }
    *uid = static_cast<uid_t>(owner);
    return true;
  }
  errno = ENOENT;
  return false;
}

// The user database's entry of a uid: its name and primary group; false when it has none.
bool PasswordEntry(uid_t uid, std::string* name, gid_t* primary) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 1024);
  passwd entry = {};
  passwd* found = nullptr;
  for (;;) {
    const int error = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1U << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr) return false;
    *name = entry.pw_name;
    *primary = entry.pw_gid;
    return true;
  }
}

// The groups of a user: the primary one and those the group database lists it in. Empty for a uid the
// user database does not know (it is in no group).
std::vector<gid_t> GroupsOf(uid_t uid) {
  std::string name;
  gid_t primary = 0;
  if (!PasswordEntry(uid, &name, &primary)) return {};
  std::vector<gid_t> groups(32);
  for (;;) {
    int count = static_cast<int>(groups.size());
    if (getgrouplist(name.c_str(), primary, groups.data(), &count) >= 0) {
      groups.resize(static_cast<size_t>(count));
      return groups;
    }
    // count is now the number needed; the system's limit bounds it.
    if (count <= static_cast<int>(groups.size()) || count > (1 << 16)) return {primary};
    groups.resize(static_cast<size_t>(count));
  }
}

std::optional<gid_t> GroupNamed(const std::string& name) {
  if (name.empty()) return std::nullopt;
  long hint = sysconf(_SC_GETGR_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 1024);
  group entry = {};
  group* found = nullptr;
  for (;;) {
    const int error = getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1U << 24)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr) return std::nullopt;
    return entry.gr_gid;
  }
}

CSectionReaders ServiceAlone() {
  CSectionReaders readers;
  readers.everyone = false;
  return readers;
}

CSectionReaders GroupReaders(gid_t group) {
  CSectionReaders readers = ServiceAlone();
  readers.principals.push_back(std::to_string(group));
  return readers;
}

}  // namespace

bool CLocalUser::FindPeer(SocketHandle socket) {
  m_state.reset();
  SConnectionEnds ends;
  if (!EndsOf(socket, &ends)) return false;
  uid_t uid = 0;
  const std::optional<bool> found = PeerUidByNetlink(ends, &uid);
  // Without sock_diag (a kernel without its module) the table in /proc tells the same.
  if (found.has_value() ? !*found : !PeerUidByProcTable(ends, &uid)) return false;
  auto state = std::make_unique<State>();
  state->uid = uid;
  m_state = std::move(state);
  return true;
}

CLocalUser CLocalUser::OfThisProcess() {
  CLocalUser user;
  auto state = std::make_unique<State>();
  state->uid = geteuid();
  user.m_state = std::move(state);
  return user;
}

std::string CLocalUser::Id() const { return m_state ? std::to_string(m_state->uid) : std::string(); }

WString CLocalUser::Describe() const {
  if (!m_state) return WTEXT("unknown user");
  std::string name;
  gid_t primary = 0;
  const std::string uid = "uid " + std::to_string(m_state->uid);
  return Utf8ToWide(PasswordEntry(m_state->uid, &name, &primary) ? name + " (" + uid + ")" : uid);
}

EAccessRule DefaultAccessRule() { return EAccessRule::Volume; }

CSectionReaders SectionReadersOf(const CAccessRule& rule, WCHAR /*letter*/, const std::string& location) {
  switch (rule.kind) {
    case EAccessRule::Everyone:
      return {};
    case EAccessRule::Group: {
      const std::optional<gid_t> group = GroupNamed(rule.group);
      return group ? GroupReaders(*group) : ServiceAlone();
    }
    case EAccessRule::Volume:
      break;
  }
  // As the volume is opened: through links, by the service.
  struct stat volume = {};
  if (location.empty() || stat(location.c_str(), &volume) != 0) return ServiceAlone();
  if ((volume.st_mode & S_IROTH) != 0) return {};
  if ((volume.st_mode & S_IRGRP) != 0) return GroupReaders(volume.st_gid);
  return ServiceAlone();
}

bool MayReadDrive(const CLocalUser& user, const CAccessRule& rule, WCHAR letter, const std::string& location) {
  if (!user.IsKnown()) return false;
  const uid_t uid = user.Get()->uid;
  if (uid == 0 || uid == geteuid()) return true;
  const CSectionReaders readers = SectionReadersOf(rule, letter, location);
  if (readers.everyone) return true;
  if (readers.principals.empty()) return false;
  const std::vector<gid_t> groups = GroupsOf(uid);
  return std::any_of(readers.principals.begin(), readers.principals.end(), [&groups](const std::string& principal) {
    return std::find(groups.begin(), groups.end(), static_cast<gid_t>(std::stoul(principal))) != groups.end();
  });
}

}  // namespace ostrin::platform
