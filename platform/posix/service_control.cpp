// The service control manager on Linux: a systemd unit file, and a control dispatcher driven by signals.
#include "platform/service_control.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <initializer_list>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "platform/event_log.h"
#include "platform/posix/unique_fd.h"

extern char** environ;

namespace ostrin::platform {

namespace {

constexpr char SYSTEMD_DIR_VARIABLE[] = "OSTRIN_SYSTEMD_DIR";
constexpr char DEFAULT_UNIT_FOLDER[] = "/etc/systemd/system";
constexpr char SYSTEMD_RUNTIME_FOLDER[] = "/run/systemd/system";

std::string UnitFolder() {
  const char* folder = std::getenv(SYSTEMD_DIR_VARIABLE);
  return folder != nullptr && *folder != '\0' ? folder : DEFAULT_UNIT_FOLDER;
}

// systemctl acts on the machine's own systemd, so it is left alone when the units go to another folder.
bool SystemctlWanted() {
  struct stat info = {};
  return std::getenv(SYSTEMD_DIR_VARIABLE) == nullptr && ::stat(SYSTEMD_RUNTIME_FOLDER, &info) == 0 &&
         S_ISDIR(info.st_mode);
}

std::string UnitName(const WString& name) { return WideToUtf8(name) + ".service"; }

// systemd expands %-specifiers in these settings; a literal percent sign is written twice.
std::string EscapeSpecifiers(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%') out += '%';
    out += c;
  }
  return out;
}

// ExecStart= splits its value at blanks; a path that holds blanks, quotes or backslashes is quoted.
std::string CommandLineOfPath(const std::string& path) {
  if (path.find_first_of(" \t\"'\\") == std::string::npos) return EscapeSpecifiers(path);
  std::string out = "\"";
  for (char c : EscapeSpecifiers(path)) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

std::string FolderOfPath(const std::string& path) {
  const size_t separator = path.rfind('/');
  if (separator == std::string::npos) return ".";
  return separator == 0 ? "/" : path.substr(0, separator);
}

// The sandbox of the unit. The service runs as root to read block devices; it reads its volumes (block
// devices and image files) and OstrinNT.ini, and writes nothing but its sections in /dev/shm/OstrinNT.
constexpr char UNIT_SANDBOX[] =
    "# Reads volumes and OstrinNT.ini; writes only its sections in /dev/shm, which ProtectSystem=strict\n"
    "# leaves writable (PrivateTmp=, too, leaves /dev/shm alone).\n"
    "NoNewPrivileges=yes\n"
    "ProtectSystem=strict\n"
    "# Read-only, not hidden: image files may lie in home folders.\n"
    "ProtectHome=read-only\n"
    "PrivateTmp=yes\n"
    "PrivateMounts=yes\n"
    "# No PrivateDevices= nor ProtectClock= (which limits the devices as well): volumes are block devices.\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectHostname=yes\n"
    "ProtectProc=invisible\n"
    "# TCP on 127.0.0.1; AF_UNIX for syslog and systemd's notify socket; AF_NETLINK for sock_diag, which\n"
    "# tells the user at the other end of a client's connection (/proc/net/tcp when it is refused).\n"
    "RestrictAddressFamilies=AF_INET AF_UNIX AF_NETLINK\n"
    "IPAddressAllow=localhost\n"
    "IPAddressDeny=any\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallErrorNumber=EPERM\n"
    "# CAP_DAC_READ_SEARCH reads image files and folders that others own (reading only: no\n"
    "# CAP_DAC_OVERRIDE, no CAP_SYS_RAWIO); CAP_CHOWN gives a section to the group that may read its\n"
    "# volume. A connection's user comes from the socket table, so no CAP_SYS_PTRACE.\n"
    "CapabilityBoundingSet=CAP_DAC_READ_SEARCH CAP_CHOWN\n"
    "UMask=0077\n";

std::string UnitText(const std::string& description, const std::string& programPath,
                     const std::vector<WString>& arguments) {
  std::string commandLine = CommandLineOfPath(programPath);
  for (const WString& argument : arguments) {
    commandLine.push_back(' ');
    commandLine += CommandLineOfPath(WideToUtf8(argument));
  }
  return "[Unit]\n"
         "Description=" + EscapeSpecifiers(description) + "\n"
         "Documentation=man:OstrinNT(8)\n"
         "After=local-fs.target\n"
         "\n"
         "[Service]\n"
         // The service says when it listens (READY=1) and when it begins to stop (STOPPING=1).
         "Type=notify\n"
         "ExecStart=" + commandLine + "\n"
         "WorkingDirectory=" + EscapeSpecifiers(FolderOfPath(programPath)) + "\n"
         "Restart=on-failure\n" +
         UNIT_SANDBOX +
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

// Runs systemctl with the given arguments and waits for it; its own messages go to our output. The
// child starts with no signal blocked, whatever the dispatcher has blocked in this process.
void RunSystemctl(std::initializer_list<const char*> arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>("systemctl"));
  for (const char* argument : arguments) argv.push_back(const_cast<char*>(argument));
  argv.push_back(nullptr);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t child = 0;
  const int error = posix_spawnp(&child, "systemctl", nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  int status = 0;
  if (error == 0) {
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  // The unit file is what makes the service installed; a systemctl that fails leaves it in place, as
  // the description's failure leaves a Windows service in place.
  if (DebugTraceEnabled() && (error != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)) {
    DebugTrace(WTEXT("systemctl ") + Utf8ToWide(argv[1]) + WTEXT(" failed"));
  }
}

bool WriteWhole(int fd, const std::string& data) {
  size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

// The one dispatcher of the process and the service it runs.
struct Dispatcher {
  std::mutex lock;
  bool active = false;
  WString name;
  ServiceControlFunction handler = nullptr;
  uint32_t reportedState = 0;
  pthread_t mainThread = {};
};

Dispatcher& TheDispatcher() {
  static Dispatcher dispatcher;
  return dispatcher;
}

// Tells the dispatcher's loop to look again: the service has reported a state or has ended.
// SIGRTMIN is no constant in glibc, hence a function.
int WakeSignal() { return SIGRTMIN; }

}  // namespace

struct CService::Handle {
  std::string unitPath;
  std::string unitName;
  bool systemctl = false;
};

CService::CService() = default;

CService::~CService() = default;

bool CService::Delete() {
  if (m_handle == nullptr) {
    errno = EBADF;
    return false;
  }
  // Stopped first: a service left running would go on with no unit to stop or restart it.
  if (m_handle->systemctl) {
    RunSystemctl({"stop", m_handle->unitName.c_str()});
    RunSystemctl({"disable", m_handle->unitName.c_str()});
  }
  if (::unlink(m_handle->unitPath.c_str()) != 0) return false;
  if (m_handle->systemctl) RunSystemctl({"daemon-reload"});
  return true;
}

struct CServiceManager::Handle {
  std::string folder;
  bool systemctl = false;

  std::string UnitPath(const WString& name) const { return folder + '/' + UnitName(name); }
};

CServiceManager::CServiceManager() = default;

CServiceManager::~CServiceManager() = default;

// Full access to the manager is the right to write into the unit folder.
bool CServiceManager::Open() {
  auto handle = std::make_unique<Handle>();
  handle->folder = UnitFolder();
  struct stat info = {};
  if (::stat(handle->folder.c_str(), &info) != 0) return false;
  if (!S_ISDIR(info.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  if (::access(handle->folder.c_str(), W_OK) != 0) return false;
  handle->systemctl = SystemctlWanted();
  m_handle = std::move(handle);
  return true;
}

bool CServiceManager::IsServiceInstalled(const WString& name) const {
  if (m_handle == nullptr) {
    errno = EBADF;
    return false;
  }
  struct stat info = {};
  if (::stat(m_handle->UnitPath(name).c_str(), &info) != 0) return false;
  if (!S_ISREG(info.st_mode)) {
    errno = ENOENT;
    return false;
  }
  return true;
}

bool CServiceManager::InstallAutoStartService(const WString& name, const WString& description,
                                              const WString& programPath, const std::vector<WString>& arguments) const {
  if (m_handle == nullptr) {
    errno = EBADF;
    return false;
  }
  const std::string path = m_handle->UnitPath(name);
  UniqueFd unit(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!unit.IsValid()) return false;
  const bool written = WriteWhole(unit.Get(), UnitText(WideToUtf8(description), WideToUtf8(programPath), arguments));
  const int writeError = errno;
  if (!written || ::close(unit.Release()) != 0) {
    const int error = written ? errno : writeError;
    // A half-written unit would count as installed.
    ::unlink(path.c_str());
    errno = error;
    return false;
  }
  if (m_handle->systemctl) {
    RunSystemctl({"daemon-reload"});
    RunSystemctl({"enable", UnitName(name).c_str()});
  }
  return true;
}

bool CServiceManager::OpenServiceForDelete(const WString& name, CService* service) const {
  if (!IsServiceInstalled(name)) return false;
  auto handle = std::make_unique<CService::Handle>();
  handle->unitPath = m_handle->UnitPath(name);
  handle->unitName = UnitName(name);
  handle->systemctl = m_handle->systemctl;
  service->m_handle = std::move(handle);
  return true;
}

bool RegisterEventLogSource(const WString& /*name*/, const WString& /*messageFile*/) { return true; }

bool StartServiceDispatcher(const WString& name, ServiceMainFunction serviceMain) {
  Dispatcher& dispatcher = TheDispatcher();
  {
    std::lock_guard<std::mutex> lock(dispatcher.lock);
    if (dispatcher.active) {
      errno = EBUSY;
      return false;
    }
    dispatcher.active = true;
    dispatcher.name = name;
    dispatcher.handler = nullptr;
    dispatcher.reportedState = 0;
    dispatcher.mainThread = pthread_self();
  }

  // Blocked before the service thread starts, so that it and every thread it starts inherit the mask
  // and the signals reach only the sigwait below.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, WakeSignal());
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &signals, &previous);

  std::atomic<bool> ended{false};
  WString argument = name;
  std::thread serviceThread;
  try {
    serviceThread = std::thread([&] {
      WCHAR* argv[2] = {argument.data(), nullptr};
      serviceMain(1, argv);
      std::lock_guard<std::mutex> lock(dispatcher.lock);
      ended = true;
      pthread_kill(dispatcher.mainThread, WakeSignal());
    });
  } catch (const std::system_error& e) {
    {
      std::lock_guard<std::mutex> lock(dispatcher.lock);
      dispatcher.active = false;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = e.code().value();
    return false;
  }

  bool stopRequested = false;
  for (;;) {
    ServiceControlFunction handler = nullptr;
    uint32_t state = 0;
    {
      std::lock_guard<std::mutex> lock(dispatcher.lock);
      handler = dispatcher.handler;
      state = dispatcher.reportedState;
    }
    if (stopRequested && handler != nullptr && state == SVC_STATE_RUNNING) {
      stopRequested = false;
      handler(SVC_CONTROL_STOP);
      continue;
    }
    if (ended) break;
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) continue;
    if (signal == SIGTERM || signal == SIGINT) {
      stopRequested = true;
    } else if (signal == SIGHUP) {
      std::unique_lock<std::mutex> lock(dispatcher.lock);
      handler = dispatcher.handler;
      lock.unlock();
      if (handler != nullptr) handler(SVC_CONTROL_INTERROGATE);
    }
  }
  serviceThread.join();

  {
    std::lock_guard<std::mutex> lock(dispatcher.lock);
    dispatcher.active = false;
    dispatcher.handler = nullptr;
  }
  // Signals that came after the service ended have nobody to answer them; dropping them keeps them
  // from ending the process with their default action once the mask is restored. The stop and
  // interrogate signals stay blocked: the process ends now, and a stop that is repeated while it ends
  // (a manager's second stop, a second Ctrl+C) must not turn its clean exit into a death by signal.
  const timespec noWait = {};
  while (sigtimedwait(&signals, nullptr, &noWait) > 0) {
  }
  sigset_t after = previous;
  sigaddset(&after, SIGTERM);
  sigaddset(&after, SIGINT);
  sigaddset(&after, SIGHUP);
  pthread_sigmask(SIG_SETMASK, &after, nullptr);
  return true;
}

ServiceStatusHandle RegisterServiceControlHandler(const WString& name, ServiceControlFunction handler) {
  Dispatcher& dispatcher = TheDispatcher();
  std::lock_guard<std::mutex> lock(dispatcher.lock);
  if (!dispatcher.active || dispatcher.name != name) {
    errno = ESRCH;
    return 0;
  }
  dispatcher.handler = handler;
  return 1;
}

bool ReportServiceStatus(ServiceStatusHandle handle, const SERVICE_STATUS_RECORD& status) {
  if (DebugTraceEnabled()) {
    DebugTrace(WTEXT("service status: state ") + AsciiToWide(std::to_string(status.currentState)) +
               WTEXT(", exit code ") + AsciiToWide(std::to_string(status.win32ExitCode)));
  }
  if (handle == 0) {
    errno = EINVAL;
    return false;
  }
  Dispatcher& dispatcher = TheDispatcher();
  std::lock_guard<std::mutex> lock(dispatcher.lock);
  if (dispatcher.active) {
    dispatcher.reportedState = status.currentState;
    pthread_kill(dispatcher.mainThread, WakeSignal());
  }
  return true;
}

}  // namespace ostrin::platform
