// The platform operations on Windows, through the wide-character API:
// Text is UTF-16 as wchar_t is. Files are read and written in the ANSI code
// page; lines end at CR or CRLF, and the run log's lines end with CRLF.
#include <windows.h>
// <windows.h> makes DeleteFile and ReplaceText macros; these are pvr's own.
#undef DeleteFile
#undef ReplaceText

#include <algorithm>
#include <cmath>
#include <string>

#include "platform/platform.h"
#include "text/command_line.h"

namespace pvr {
namespace {

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

// The system's words for the error; where they leave a place for the object
// ("%1"), the object fills it, so no report shows a bare placeholder.
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

// Closes on every way out, failures included.
struct OpenFile {
  explicit OpenFile(HANDLE opened) : handle(opened) {}
  OpenFile(OpenFile&& other) noexcept : handle(other.handle) {
    other.handle = INVALID_HANDLE_VALUE;
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  HANDLE handle;
};

// Devices and pipes are refused once open, as they are no files.
void RequireDiskFile(const OpenFile& file, const Text& path) {
  if (GetFileType(file.handle) != FILE_TYPE_DISK) {
    throw Failure{FailureKind::kAccessDenied, path,
                  TextOf("not a regular file")};
  }
}

bool IsSharingConflict(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

}  // namespace

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

bool FileExists(const Text& path) {
  const std::wstring native = NativeName(path);
  // The directory search takes these as wildcards in the last component, the
  // only place it matches: such a name could match, and so delete, other
  // files. No file is named so. The "\\?\" of a long path is no wildcard.
  const auto separator = native.find_last_of(L"\\/");
  const std::wstring name =
      separator == std::wstring::npos ? native : native.substr(separator + 1);
  if (name.empty() || name.find_first_of(L"*?<>\"") != std::wstring::npos) {
    return false;
  }
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(native.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    // Only a missing entry is absent, or a name no file can have (a job
    // path that kept an unclosed quote): a folder the account may not list,
    // or a share out of reach, hides a job or a target, and the run must
    // say so.
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
        error == ERROR_INVALID_NAME) {
      return false;
    }
    FailWithError(error, path);
  }
  FindClose(search);
  const DWORD excluded =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  return (found.dwFileAttributes & excluded) == 0;
}

void DeleteFile(const Text& path) {
  // A read-only file is refused by the system itself. One that another run
  // of the same job deleted first is gone, which is all this step is for.
  if (!DeleteFileW(NativeName(path).c_str()) &&
      GetLastError() != ERROR_FILE_NOT_FOUND) {
    FailWithError(GetLastError(), path);
  }
}

void CheckDeletable(const Text& path) {
  const std::wstring native = NativeName(path);
  const DWORD attributes = GetFileAttributesW(native.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    FailWithError(ERROR_ACCESS_DENIED, path);
  }
  // Opened for deletion and let go: what a deletion would be refused.
  const OpenFile file(CreateFileW(
      native.c_str(), DELETE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (file.handle == INVALID_HANDLE_VALUE &&
      GetLastError() != ERROR_FILE_NOT_FOUND) {
    FailWithError(GetLastError(), path);
  }
}

Text ForbiddenInFileNames() {
  Text forbidden = TextOf("<>:\"|?*");
  for (char16_t c = 0; c < 32; ++c) forbidden.push_back(c);
  return forbidden;
}

namespace {

// The bytes in the ANSI code page, as many as make whole characters: a lead
// byte at the end waits for its trail byte, unless the file ends there.
Text DecodeWhole(std::string& bytes, bool file_ends) {
  std::size_t whole = 0;
  while (whole < bytes.size()) {
    whole += IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(bytes[whole])) ? 2 : 1;
  }
  if (whole > bytes.size() && !file_ends) whole -= 2;
  whole = std::min(whole, bytes.size());
  std::wstring wide(whole, L'\0');
  if (whole > 0) {
    wide.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(whole),
                            wide.data(), static_cast<int>(wide.size()))));
  }
  bytes.erase(0, whole);
  return TextOfWide(wide);
}

}  // namespace

void ReadTextPieces(const Text& path,
                    const std::function<bool(const Text&)>& take) {
  const OpenFile file(
      CreateFileW(NativeName(path).c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.handle == INVALID_HANDLE_VALUE) FailWithError(GetLastError(), path);
  RequireDiskFile(file, path);
  char buffer[65536];
  std::string bytes;
  for (DWORD got = 1; got > 0;) {
    if (!ReadFile(file.handle, buffer, sizeof buffer, &got, nullptr)) {
      FailWithError(GetLastError(), path);
    }
    bytes.append(buffer, got);
    const Text piece = DecodeWhole(bytes, got == 0);
    if (!piece.empty() && !take(piece)) return;
  }
}

LineEnds JobFileLineEnds() { return LineEnds::kCarriageReturn; }

void AppendTextLines(const Text& path, const std::vector<Text>& lines) {
  std::wstring record;
  for (const Text& line : lines) record += Wide(line) + L"\r\n";
  const std::string bytes = AnsiBytesOf(record);
  const std::wstring native = NativeName(path);
  // Appending with shared access lets runs log at the same moment; a
  // reader that holds the file without sharing is waited for, for about two
  // seconds, so that a recording is not lost to it.
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 40; ++attempt) {
    handle = CreateFileW(native.c_str(), FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE || !IsSharingConflict(GetLastError())) {
      break;
    }
    Sleep(50);
  }
  const OpenFile file(handle);
  if (file.handle == INVALID_HANDLE_VALUE) FailWithError(GetLastError(), path);
  RequireDiskFile(file, path);
  // One write: records of runs logging at the same moment never interleave.
  DWORD written = 0;
  if (!WriteFile(file.handle, bytes.data(), static_cast<DWORD>(bytes.size()),
                 &written, nullptr)) {
    FailWithError(GetLastError(), path);
  }
  if (written != bytes.size()) FailWithError(ERROR_HANDLE_DISK_FULL, path);
}

void CheckAppendable(const Text& path) {
  const OpenFile file(CreateFileW(NativeName(path).c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
  if (file.handle != INVALID_HANDLE_VALUE) {
    RequireDiskFile(file, path);
    return;
  }
  // A file not there yet is made by the append, in a folder that is; one
  // held by a reader is waited for then.
  const DWORD error = GetLastError();
  if (error != ERROR_FILE_NOT_FOUND && !IsSharingConflict(error)) {
    FailWithError(error, path);
  }
}

Text RunLogDirectory() {
  // Unset, it is empty, and the log lies in the current drive's root.
  wchar_t buffer[32768];
  const DWORD size = GetEnvironmentVariableW(L"TEMP", buffer, 32768);
  return size > 0 && size < 32768 ? TextOfWide(buffer, size) : Text();
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

// Messages are handled as they arrive; between them the wait sleeps.
void DispatchEventsUntil(double monotonic_seconds) {
  const double left = monotonic_seconds - MonotonicSeconds();
  if (left > 0) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE,
                              static_cast<DWORD>(std::ceil(left * 1000)),
                              QS_ALLINPUT);
  }
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

Text FindProgram(const Text& program) {
  // The system's search for a program without a path, ".exe" added to a
  // name without an extension.
  wchar_t found[32768];
  const DWORD size = SearchPathW(nullptr, NativeName(program).c_str(), L".exe",
                                 32768, found, nullptr);
  if (size == 0 || size >= 32768) {
    const DWORD error = size == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    throw Failure{FailureKind::kProgramNotFound, program,
                  SystemMessage(error, program)};
  }
  return TextOfWide(found, size);
}

void StartProcess(const Text& command_line) {
  std::wstring line = NativeName(command_line);
  // The program's name, for the report, divided by the system's own rules.
  const std::vector<Text> words = ProgramAndArguments(command_line);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWMINNOACTIVE;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &started)) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      throw Failure{FailureKind::kProgramNotFound, words[0],
                    SystemMessage(error, words[0])};
    }
    FailWithError(error, words[0]);
  }
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
}

namespace {

// A service's window station shows no desktop to anyone: a message box there
// would wait forever for an answer nobody can give.
bool OnVisibleWindowStation() {
  USEROBJECTFLAGS flags{};
  return GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags,
                                   sizeof flags, nullptr) &&
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

void ReportToEventLog(const Text& report) {
  const HANDLE source = RegisterEventSourceW(nullptr, L"pvr-launch");
  if (source == nullptr) return;
  const std::wstring text = Wide(report);
  const wchar_t* strings[] = {text.c_str()};
  ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings,
               nullptr);
  DeregisterEventSource(source);
}

}  // namespace

void ReportFailure(const Failure& failure) {
  const Text report = FailureReport(failure);
  const Text title = ExecutableBaseName();
  // A caller that handed over a standard error handle (a script, a test)
  // gets the same report as one line there; no console is ever opened.
  PrintLine(title + TextOf(": ") + report, true);
  if (OnVisibleWindowStation()) {
    MessageBoxW(nullptr, Wide(report).c_str(), Wide(title).c_str(),
                MB_OK | MB_ICONERROR);
  } else {
    ReportToEventLog(title + TextOf(": ") + report);
  }
}

void PrintLine(const Text& line, bool to_error) {
  const HANDLE stream =
      GetStdHandle(to_error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  if (stream == nullptr || stream == INVALID_HANDLE_VALUE) return;
  const std::string bytes = AnsiBytesOf(Wide(line) + L"\r\n");
  DWORD written = 0;
  WriteFile(stream, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
            nullptr);
}

}  // namespace pvr
