// The local user behind a connection of the service, and the rule of who may read a drive's index.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "platform/types.h"

namespace ostrin::platform {

// A local user as the system knows it: a uid on Linux, a SID on Windows, with the groups of the user
// database (Linux) or of the process's token (Windows).
class CLocalUser {
 public:
  // The user who owns the peer end of an accepted loopback connection (socket is this process's
  // end), found in the system's table of TCP sockets. False with the system's last error set when no
  // process holds that end any more or the table cannot be read; the user is then unknown.
  bool FindPeer(SocketHandle socket);
  // The user this process runs as.
  static CLocalUser OfThisProcess();

  bool IsKnown() const { return m_state != nullptr; }
  // The system's identifier: the uid in decimal on Linux, the SID in text form on Windows.
  std::string Id() const;
  // How events name the user: "nobody (uid 65534)", "HOST\name (S-1-5-21-...)".
  WString Describe() const;

  struct State;
  const State* Get() const { return m_state.get(); }

 private:
  // Null while the user is unknown; never changed once found, so copies share it.
  std::shared_ptr<const State> m_state;
};

// The access rule of "OstrinNT.ini": who may open a drive and read its index and its section.
enum class EAccessRule {
  Volume,    // those who may read the drive's volume (its device or image file)
  Everyone,  // every local user
  Group,     // the members of one group
};

// The rule when the configuration names none: Volume on Linux, Everyone on Windows.
EAccessRule DefaultAccessRule();

struct CAccessRule {
  EAccessRule kind = DefaultAccessRule();
  // The group's name for Group (on Windows a local group).
  std::string group;
};

// Who may read a section besides the service's own user: everyone, or the principals listed (a gid in
// decimal on Linux, where only groups are listed; SIDs in text form on Windows). No principal and
// not everyone: the service alone.
struct CSectionReaders {
  bool everyone = true;
  std::vector<std::string> principals;
};

// The readers of the section of a drive under the rule: Everyone, the rule's group, or for Volume the
// readers of the volume at location (a letter's "volume.X" mapping; empty on Windows: the letter's
// own device). A group or a volume that cannot be looked up leaves the service alone.
CSectionReaders SectionReadersOf(const CAccessRule& rule, WCHAR letter, const std::string& location);

// Whether the user may open the drive and read its index under the rule: one of the readers of its
// section (SectionReadersOf), or the system's administrator (root; on Windows the local system).
bool MayReadDrive(const CLocalUser& user, const CAccessRule& rule, WCHAR letter, const std::string& location);

}  // namespace ostrin::platform
