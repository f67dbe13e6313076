#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "app/cli/child_process.h"

namespace quendal::cli {

struct ChildProcess::Impl {
  HANDLE process = nullptr;
  DWORD id = 0;
  HANDLE out = nullptr;
  HANDLE err = nullptr;
};

namespace {

volatile LONG stationInterrupts = 0;

BOOL WINAPI OnStationConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  InterlockedIncrement(&stationInterrupts);
  return TRUE;
}

std::string LastErrorText() {
  const DWORD code = GetLastError();
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = n && text ? std::string(text, n) : "system error " + std::to_string(code);
  if (text) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
    result.pop_back();
  return result;
}

// Bytes waiting in a pipe; -1 once the child's end is closed and all was read.
long Waiting(HANDLE pipe) {
  DWORD available = 0;
  if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return -1;
  return static_cast<long>(available);
}

// Reads what is there without blocking; closes the handle at its end.
void Drain(HANDLE* pipe, std::string* into) {
  if (!*pipe) return;
  for (;;) {
    const long available = Waiting(*pipe);
    if (available == 0) return;
    if (available > 0) {
      char buffer[4096];
      DWORD n = 0;
      const DWORD want = static_cast<DWORD>(available < 4096 ? available : 4096);
      if (ReadFile(*pipe, buffer, want, &n, nullptr) && n > 0) {
        into->append(buffer, n);
        continue;
      }
    }
    CloseHandle(*pipe);
    *pipe = nullptr;
    return;
  }
}

// One argument as the C runtime's command-line parser reads it back: quoted when it holds
// blanks or quotes, with the backslashes before a quote doubled.
void AppendQuoted(const std::string& arg, std::string* line) {
  if (!line->empty()) line->push_back(' ');
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
    line->append(arg);
    return;
  }
  line->push_back('"');
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    line->append(backslashes, '\\');
    backslashes = 0;
    line->push_back(c);
  }
  line->append(backslashes * 2, '\\');
  line->push_back('"');
}

std::string QuoteCommandLine(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& arg : argv) AppendQuoted(arg, &line);
  return line;
}

}  // namespace

std::string OwnProgramPath() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

ChildProcess::ChildProcess() : impl_(std::make_unique<Impl>()) {}

ChildProcess::~ChildProcess() {
  for (HANDLE h : {impl_->out, impl_->err, impl_->process}) {
    if (h) CloseHandle(h);
  }
}

bool ChildProcess::Start(const std::vector<std::string>& argv, std::string* error) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
  HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
  auto fail = [&] {
    *error = LastErrorText();
    for (HANDLE h : {outRead, outWrite, errRead, errWrite, input}) {
      if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    return false;
  };
  if (input == INVALID_HANDLE_VALUE) return fail();
  if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) return fail();
  if (!CreatePipe(&errRead, &errWrite, &inherit, 0)) return fail();
  // Only the child's ends go with it; the parent's ends would keep its pipes open.
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION info{};
  std::string line = QuoteCommandLine(argv);
  // A group of its own: the console's Ctrl-C reaches the station alone, which passes each
  // request on as a Ctrl-Break to the group.
  if (!CreateProcessA(argv[0].c_str(), line.data(), nullptr, nullptr, TRUE,
                      CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &info)) {
    return fail();
  }
  CloseHandle(info.hThread);
  for (HANDLE h : {outWrite, errWrite, input}) CloseHandle(h);
  impl_->process = info.hProcess;
  impl_->id = info.dwProcessId;
  impl_->out = outRead;
  impl_->err = errRead;
  return true;
}

void ChildProcess::Interrupt() {
  if (impl_->process && !ended_) GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, impl_->id);
}

void ChildProcess::Collect() {
  if (ended_) return;
  if (!impl_->process) {  // never started
    ended_ = true;
    exitStatus_ = 1;
    return;
  }
  Drain(&impl_->out, &out_);
  Drain(&impl_->err, &err_);
  if (impl_->out || impl_->err) return;
  WaitForSingleObject(impl_->process, INFINITE);
  DWORD code = 1;
  if (!GetExitCodeProcess(impl_->process, &code)) code = 1;
  ended_ = true;
  // An exception's code (0xC...) is no status of ours: it counts as a failure.
  exitStatus_ = code <= 255 ? static_cast<int>(code) : 1;
}

void WaitForChildren(const std::vector<ChildProcess*>& children, int ms) {
  // Anonymous pipes cannot be waited on: they are looked at every few milliseconds.
  const ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(ms);
  const LONG interrupts = stationInterrupts;
  for (;;) {
    for (ChildProcess* child : children) {
      const ChildProcess::Impl* impl = child->impl_.get();
      for (HANDLE pipe : {impl->out, impl->err}) {
        if (pipe && Waiting(pipe) != 0) return;
      }
    }
    if (stationInterrupts != interrupts || GetTickCount64() >= until) return;
    Sleep(10);
  }
}

void CatchStationInterrupts() {
  stationInterrupts = 0;
  SetConsoleCtrlHandler(OnStationConsoleEvent, TRUE);
}

void ReleaseStationInterrupts() {
  SetConsoleCtrlHandler(OnStationConsoleEvent, FALSE);
}

int StationInterrupts() {
  return static_cast<int>(stationInterrupts);
}

bool OutputIsTerminal() {
  if (_isatty(_fileno(stdout)) == 0) return false;
  // The station redraws its lines with escape sequences; a console that cannot take them
  // gets plain lines instead.
  HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(console, &mode)) return false;
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace quendal::cli
