// Child processes on Windows: CreateProcessW with the environment and standard handles given, a named
// event as the service's stop control, TerminateProcess as a crash.
#include "tests/support/child_process.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cwctype>

#include "common/text.h"
#include "platform/win32/unique_handle.h"

namespace ostrin::test {

namespace {

using ostrin::platform::UniqueHandle;

// Paths of the build machine: the cross-built tests run under Wine, where drive Z: is its root.
std::wstring NativePath(const std::string& path) {
  std::wstring wide = Utf8ToWide(path);
  if (wide.empty() || wide[0] != L'/') return wide;
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  return L"Z:" + wide;
}

// One argument as the C runtime's parser reads it back: quoted when it holds blanks or quotes, with
// the backslashes before a quote doubled.
std::wstring QuotedArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, L'\\');
  return out + L"\"";
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) { return std::towupper(x) == std::towupper(y); });
}

// The test's environment with the additions, as the block CreateProcessW takes.
std::wstring EnvironmentBlock(const std::vector<std::pair<std::wstring, std::wstring>>& additions) {
  std::vector<std::wstring> entries;
  if (wchar_t* strings = GetEnvironmentStringsW()) {
    for (const wchar_t* p = strings; *p != L'\0'; p += wcslen(p) + 1) entries.emplace_back(p);
    FreeEnvironmentStringsW(strings);
  }
  for (const auto& [name, value] : additions) {
    std::erase_if(entries, [&](const std::wstring& entry) {
      const size_t equals = entry.find(L'=', 1);
      return equals != std::wstring::npos && SameName(entry.substr(0, equals), name);
    });
    entries.push_back(name + L"=" + value);
  }
  std::wstring block;
  for (const std::wstring& entry : entries) block += entry + L'\0';
  return block + L'\0';
}

// A handle the child inherits: the file, opened for appending, or a copy of the test's own stream.
HANDLE InheritedOutput(const std::string& path, DWORD standardStream) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  if (!path.empty()) {
    return CreateFileW(NativePath(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &inherit, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetStdHandle(standardStream), GetCurrentProcess(), &copy, 0, TRUE,
                  DUPLICATE_SAME_ACCESS);
  return copy;
}

std::atomic<unsigned> g_stopEvents{0};

}  // namespace

struct CChildProcess::State {
  UniqueHandle process;
  UniqueHandle stopEvent;
};

CChildProcess::CChildProcess() : m_state(std::make_unique<State>()) {}

CChildProcess::~CChildProcess() { Kill(); }

bool CChildProcess::Start(const SChildStart& start) {
  if (start.argv.empty() || m_state->process.IsValid()) return false;
  m_exitCode = -1;
  const std::wstring stopEventName = L"Local\\OstrinTestStop-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                     std::to_wstring(++g_stopEvents);
  m_state->stopEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, stopEventName.c_str()));
  if (!m_state->stopEvent.IsValid()) return false;

  std::vector<std::pair<std::wstring, std::wstring>> additions;
  for (const auto& [name, value] : start.environment) additions.emplace_back(Utf8ToWide(name), Utf8ToWide(value));
  additions.emplace_back(L"OSTRIN_STOP_EVENT", stopEventName);
  std::wstring environment = EnvironmentBlock(additions);

  std::wstring commandLine;
  for (size_t i = 0; i < start.argv.size(); ++i) {
    commandLine += (i == 0 ? L"" : L" ") + QuotedArgument(i == 0 ? NativePath(start.argv[0]) : Utf8ToWide(start.argv[i]));
  }
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  UniqueHandle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
  UniqueHandle output(InheritedOutput(start.outputPath, STD_OUTPUT_HANDLE));
  UniqueHandle error(start.errorPath == start.outputPath && !start.outputPath.empty()
                    ? nullptr
                    : InheritedOutput(start.errorPath, STD_ERROR_HANDLE));
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.Get();
  startup.hStdOutput = output.Get();
  startup.hStdError = error.IsValid() ? error.Get() : output.Get();
  PROCESS_INFORMATION started = {};
  const std::wstring folder = NativePath(start.folder);
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                      environment.data(), folder.empty() ? nullptr : folder.c_str(), &startup, &started)) {
    return false;
  }
  CloseHandle(started.hThread);
  m_state->process.Reset(started.hProcess);
  return true;
}

bool CChildProcess::IsRunning() {
  if (!m_state->process.IsValid()) return false;
  if (WaitForSingleObject(m_state->process.Get(), 0) == WAIT_TIMEOUT) return true;
  DWORD code = 0;
  m_exitCode = GetExitCodeProcess(m_state->process.Get(), &code) ? static_cast<int>(code) : -1;
  m_state->process.Reset();
  return false;
}

int CChildProcess::WaitForExit(int timeoutMs) {
  if (!m_state->process.IsValid()) return m_exitCode;
  const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  if (WaitForSingleObject(m_state->process.Get(), wait) == WAIT_TIMEOUT) return -1;
  IsRunning();
  return m_exitCode;
}

void CChildProcess::RequestStop() {
  if (m_state->process.IsValid() && m_state->stopEvent.IsValid()) SetEvent(m_state->stopEvent.Get());
}

void CChildProcess::Kill() {
  if (!m_state->process.IsValid()) return;
  // 137: the code Linux gives a process killed by SIGKILL.
  TerminateProcess(m_state->process.Get(), 137);
  WaitForSingleObject(m_state->process.Get(), INFINITE);
  IsRunning();
}

int64_t CChildProcess::Id() const {
  return m_state->process.IsValid() ? static_cast<int64_t>(GetProcessId(m_state->process.Get())) : -1;
}

}  // namespace ostrin::test
