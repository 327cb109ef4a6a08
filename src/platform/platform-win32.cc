// The platform operations on Windows that are not the files', the run
// log's or the launch's: text and errors, the argument, the executable's
// name, the clock and the pause, and the failure report. Through the
// wide-character API; files are read and written in the ANSI code page.
#include <cmath>
#include <cstdio>
#include <string>

#include "platform/internal-win32.h"
#include "platform/platform.h"

namespace pvr {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

std::wstring Wide(const Text& text) {
  return std::wstring(text.begin(), text.end());
}

Text TextOfWide(const wchar_t* wide, std::size_t size) {
  return Text(wide, wide + size);
}

Text TextOfWide(const std::wstring& wide) {
  return TextOfWide(wide.data(), wide.size());
}

// Text in the ANSI code page, as files and the standard error handle take it.
std::string AnsiBytesOf(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int size =
      WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                          nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                      bytes.data(), size, nullptr, nullptr);
  return bytes;
}

// The system would stop reading a path at a NUL and see another file.
std::wstring NativeName(const Text& name) {
  if (name.find(u'\0') != Text::npos) {
    throw Failure{FailureKind::kBadFileName, name,
                  TextOf("contains a NUL character")};
  }
  return Wide(name);
}

std::wstring FolderOf(const std::wstring& native) {
  const auto slash = native.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : native.substr(0, slash + 1);
}

std::wstring PathOfFile(const Text& path) {
  std::wstring native = NativeName(path);
  std::wstring full(GetFullPathNameW(native.c_str(), 0, nullptr, nullptr),
                    L'\0');
  full.resize(GetFullPathNameW(native.c_str(), static_cast<DWORD>(full.size()),
                               full.data(), nullptr));
  // "\\.\" opens the device namespace, where "\\.\C:\..." is still a file
  // on that drive.
  const bool on_drive = full.size() >= 6 && full[5] == L':';
  if (full.rfind(L"\\\\.\\", 0) == 0 && !on_drive) {
    throw Failure{FailureKind::kBadFileName, path,
                  TextOf("a device, not a file")};
  }
  return native;
}

FailureKind KindOfError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      return FailureKind::kFileNotFound;
    case ERROR_PATH_NOT_FOUND:
      return FailureKind::kPathNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return FailureKind::kAccessDenied;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY:
      return FailureKind::kBadFileName;
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
      return FailureKind::kNotAProgram;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return FailureKind::kOutOfMemory;
    default:
      return FailureKind::kInputOutput;
  }
}

Text SystemMessage(DWORD error, const Text& object) {
  wchar_t* buffer = nullptr;
  const DWORD size = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  Text message = size > 0 ? TextOfWide(buffer, size) : Text();
  LocalFree(buffer);
  while (!message.empty() &&
         (message.back() == u'\r' || message.back() == u'\n' ||
          message.back() == u'.' || message.back() == u' ')) {
    message.pop_back();
  }
  if (message.empty()) {
    message = TextOf("system error ") + TextOf(std::to_string(error).c_str());
  }
  return ReplaceText(message, TextOf("%1"), object);
}

[[noreturn]] void FailWithError(DWORD error, const Text& object) {
  throw Failure{KindOfError(error), object, SystemMessage(error, object)};
}

void RequireDiskFile(const OpenFile& file, const Text& path) {
  if (GetFileType(file.handle) != FILE_TYPE_DISK) {
    throw Failure{FailureKind::kAccessDenied, path,
                  TextOf("not a regular file")};
  }
}

Text ArgumentText(int, char**) {
  // The program's own path is quoted, or ends at the first space or tab.
  const wchar_t* line = GetCommandLineW();
  if (*line == L'"') {
    ++line;
    while (*line != L'\0' && *line != L'"') ++line;
    if (*line == L'"') ++line;
  } else {
    while (*line != L'\0' && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return TextOfWide(std::wstring(line));
}

Text PathSeparator() { return TextOf("\\"); }

Text ExecutableBaseName() {
  wchar_t buffer[32768];
  const DWORD size = GetModuleFileNameW(nullptr, buffer, 32768);
  if (size == 0 || size >= 32768) return TextOf("pvr-launch");
  std::wstring name(buffer, size);
  const auto slash = name.find_last_of(L"\\/");
  if (slash != std::wstring::npos) name.erase(0, slash + 1);
  const auto dot = name.rfind(L'.');
  if (dot != std::wstring::npos && dot > 0) name.erase(dot);
  return TextOfWide(name);
}

double SecondsSinceMidnight() {
  SYSTEMTIME local;
  GetLocalTime(&local);
  return local.wHour * 3600.0 + local.wMinute * 60.0 + local.wSecond +
         local.wMilliseconds / 1000.0;
}

double MonotonicSeconds() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

ClockTime TimeOfDay() {
  SYSTEMTIME local;
  GetLocalTime(&local);
  return ClockTime{local.wHour, local.wMinute, local.wSecond};
}

// Messages are handled as they arrive; between them the wait sleeps. A
// flood of them is handled only until the deadline.
void DispatchEventsUntil(double monotonic_seconds) {
  const double left = monotonic_seconds - MonotonicSeconds();
  if (left > 0) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE,
                              static_cast<DWORD>(std::ceil(left * 1000)),
                              QS_ALLINPUT);
  }
  MSG message;
  while (MonotonicSeconds() < monotonic_seconds &&
         PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

namespace {

// A service's window station shows no desktop to anyone, nor does session 0,
// where services run even when they may interact with the desktop: a
// message box there would wait forever for an answer nobody can give.
bool SeenByAUser() {
  USEROBJECTFLAGS flags{};
  DWORD session = 0;
  return GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags,
                                   sizeof flags, nullptr) &&
         (flags.dwFlags & WSF_VISIBLE) != 0 &&
         ProcessIdToSessionId(GetCurrentProcessId(), &session) && session != 0;
}

// Logged under the ID of the failure's message in the exe's message table:
// the error severity and the exit status.
void ReportToEventLog(const Text& report, FailureKind kind) {
  const HANDLE source = RegisterEventSourceW(nullptr, L"pvr-launch");
  if (source == nullptr) return;
  const std::wstring text = Wide(report);
  const wchar_t* strings[] = {text.c_str()};
  ReportEventW(source, EVENTLOG_ERROR_TYPE, 0,
               0xC0000000u | static_cast<DWORD>(ExitStatusOf(kind)), nullptr, 1,
               0, strings, nullptr);
  DeregisterEventSource(source);
}

}  // namespace

void ReportFailure(const Failure& failure) {
  const Text report = FailureReport(failure);
  const Text title = ExecutableBaseName();
  // A caller that handed over a standard error handle (a script, a test)
  // gets the same report as one line there; no console is ever opened.
  PrintLine(title + TextOf(": ") + report, true);
  if (SeenByAUser()) {
    MessageBoxW(nullptr, Wide(report).c_str(), Wide(title).c_str(),
                MB_OK | MB_ICONERROR);
  } else {
    ReportToEventLog(title + TextOf(": ") + report, failure.kind);
  }
}

void PrintLine(const Text& line, bool to_error) {
  const HANDLE stream =
      GetStdHandle(to_error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  if (stream == nullptr || stream == INVALID_HANDLE_VALUE) return;
  const std::wstring wide = Wide(line) + L"\r\n";
  DWORD mode = 0, written = 0;
  // A console shows the characters themselves, whatever its code page.
  if (GetConsoleMode(stream, &mode)) {
    WriteConsoleW(stream, wide.data(), static_cast<DWORD>(wide.size()),
                  &written, nullptr);
    return;
  }
  // Elsewhere the ANSI code page: a character it lacks is shown as an
  // escape, never as a look-alike ("O" for an omega) that names another
  // file.
  std::string bytes;
  for (std::size_t at = 0; at < wide.size(); ++at) {
    const int count = IS_HIGH_SURROGATE(wide[at]) && at + 1 < wide.size() &&
                              IS_LOW_SURROGATE(wide[at + 1])
                          ? 2
                          : 1;
    char converted[8];
    BOOL lacking = FALSE;
    const bool utf8 = GetACP() == CP_UTF8;
    const int size = WideCharToMultiByte(
        CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, &wide[at], count, converted,
        sizeof converted, nullptr, utf8 ? nullptr : &lacking);
    if (size > 0 && !lacking) {
      bytes.append(converted, static_cast<std::size_t>(size));
    } else {
      const unsigned code = count == 2 ? 0x10000 + ((wide[at] - 0xD800) << 10) +
                                             (wide[at + 1] - 0xDC00)
                                       : wide[at];
      char escape[16];
      std::snprintf(escape, sizeof escape, "\\u{%X}", code);
      bytes += escape;
    }
    at += static_cast<std::size_t>(count - 1);
  }
  WriteFile(stream, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
            nullptr);
}

}  // namespace pvr
