// The platform operations on Windows, through the wide-character API:
// Text is UTF-16 as wchar_t is. Files are read and written in the ANSI code
// page; lines end at CR or CRLF, and the run log's lines end with CRLF.
#include <windows.h>
// After <windows.h>, which it needs.
#include <aclapi.h>
#include <sddl.h>
// <windows.h> makes DeleteFile and ReplaceText macros; these are pvr's own.
#undef DeleteFile
#undef ReplaceText

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

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

// A file path as the system takes it. A name the system resolves to a device
// (NUL, CON, COM1, with or without an extension, as the running version of
// Windows decides) is no file to read, write or delete.
std::wstring FileName(const Text& path) {
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

// The account's own SID, SYSTEM's and the Administrators group's: the only
// owners a run log may have, and the only ones a new log lets in.
std::vector<std::vector<BYTE>> TrustedSids() {
  std::vector<std::vector<BYTE>> sids;
  HANDLE token = nullptr;
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } account;
  DWORD size = 0;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    if (GetTokenInformation(token, TokenUser, &account, sizeof account,
                            &size)) {
      const auto sid = static_cast<BYTE*>(account.user.User.Sid);
      sids.emplace_back(sid, sid + GetLengthSid(account.user.User.Sid));
    }
    CloseHandle(token);
  }
  for (const auto kind : {WinLocalSystemSid, WinBuiltinAdministratorsSid}) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    size = sizeof sid;
    if (CreateWellKnownSid(kind, nullptr, sid, &size)) {
      sids.emplace_back(sid, sid + size);
    }
  }
  return sids;
}

bool IsTrustedSid(PSID sid) {
  auto sids = TrustedSids();
  return std::any_of(sids.begin(), sids.end(), [&](std::vector<BYTE>& trusted) {
    return EqualSid(sid, trusted.data());
  });
}

// Any user may create files in a service's TEMP (C:\Windows\Temp): a log
// someone else made first, to read every recording's command or to keep
// the runs from recording, is refused.
void RequireTrustedOwner(const OpenFile& file, const Text& path) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error =
      GetSecurityInfo(file.handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                      &owner, nullptr, nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) FailWithError(error, path);
  const bool trusted = IsTrustedSid(owner);
  LocalFree(descriptor);
  if (!trusted) {
    throw Failure{FailureKind::kAccessDenied, path,
                  TextOf("a file of another user in a shared directory")};
  }
}

}  // namespace

bool IsTrustedOwner(const Text& sid) {
  PSID owner = nullptr;
  if (!ConvertStringSidToSidW(Wide(sid).c_str(), &owner)) return false;
  const bool trusted = IsTrustedSid(owner);
  LocalFree(owner);
  return trusted;
}

namespace {

// What a new log is made with: access for the trusted owners alone, none
// inherited from the folder.
struct PrivateFileSecurity {
  PrivateFileSecurity() {
    InitializeAcl(&acl.header, sizeof acl, ACL_REVISION);
    for (auto& sid : sids) {
      AddAccessAllowedAce(&acl.header, ACL_REVISION, FILE_ALL_ACCESS,
                          sid.data());
    }
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, &acl.header, FALSE);
    SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED,
                                 SE_DACL_PROTECTED);
  }
  std::vector<std::vector<BYTE>> sids = TrustedSids();
  union {
    ACL header;
    BYTE bytes[1024];
  } acl;
  SECURITY_DESCRIPTOR descriptor;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
};

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
  const std::wstring native = FileName(path);
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
  if (!DeleteFileW(FileName(path).c_str()) &&
      GetLastError() != ERROR_FILE_NOT_FOUND) {
    FailWithError(GetLastError(), path);
  }
}

void CheckDeletable(const Text& path) {
  const std::wstring native = FileName(path);
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

Text DecodeWhole(std::string& bytes, bool file_ends, unsigned code_page) {
  std::size_t whole = bytes.size();
  if (!file_ends && code_page == CP_UTF8) {
    // Back over the continuation bytes to the sequence's lead byte.
    std::size_t lead = whole;
    while (lead > 0 && whole - lead < 3 &&
           (static_cast<unsigned char>(bytes[lead - 1]) & 0xC0) == 0x80) {
      --lead;
    }
    if (lead > 0) {
      const auto byte = static_cast<unsigned char>(bytes[--lead]);
      const std::size_t length = byte >= 0xF0   ? 4
                                 : byte >= 0xE0 ? 3
                                 : byte >= 0xC0 ? 2
                                                : 1;
      if (length > whole - lead) whole = lead;
    }
  } else if (!file_ends) {
    std::size_t at = 0;
    while (at < bytes.size()) {
      at += IsDBCSLeadByteEx(code_page, static_cast<BYTE>(bytes[at])) ? 2 : 1;
    }
    if (at > bytes.size()) --whole;
  }
  std::wstring wide(whole, L'\0');
  if (whole > 0) {
    wide.resize(static_cast<std::size_t>(
        MultiByteToWideChar(code_page, 0, bytes.data(), static_cast<int>(whole),
                            wide.data(), static_cast<int>(wide.size()))));
  }
  bytes.erase(0, whole);
  return TextOfWide(wide);
}

void ReadTextPieces(const Text& path,
                    const std::function<bool(const Text&)>& take) {
  const OpenFile file(
      CreateFileW(FileName(path).c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.handle == INVALID_HANDLE_VALUE) FailWithError(GetLastError(), path);
  RequireDiskFile(file, path);
  char buffer[65536];
  std::string bytes;
  for (DWORD got = 1, first = 1; got > 0; first = 0) {
    if (!ReadFile(file.handle, buffer, sizeof buffer, &got, nullptr)) {
      FailWithError(GetLastError(), path);
    }
    if (first && IsUtf16(buffer, got)) {
      throw Failure{FailureKind::kInvalidArgument, path,
                    TextOf("a UTF-16 file; a job file is read in the ANSI "
                           "code page")};
    }
    bytes.append(buffer, got);
    const Text piece = DecodeWhole(bytes, got == 0, GetACP());
    if (!piece.empty() && !take(piece)) return;
  }
}

LineEnds JobFileLineEnds() { return LineEnds::kCarriageReturn; }

namespace {

// Whether the account may do this to the file or folder, by its access
// list. Where the list cannot be read or judged, the act itself decides.
bool MayAccess(const std::wstring& path, DWORD right) {
  const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION |
                                     GROUP_SECURITY_INFORMATION |
                                     DACL_SECURITY_INFORMATION;
  DWORD size = 0;
  GetFileSecurityW(path.c_str(), parts, nullptr, 0, &size);
  std::vector<BYTE> descriptor(size);
  HANDLE token = nullptr, impersonation = nullptr;
  BOOL allowed = TRUE;
  if (size > 0 &&
      GetFileSecurityW(path.c_str(), parts, descriptor.data(), size, &size) &&
      OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY,
                       &token) &&
      DuplicateToken(token, SecurityImpersonation, &impersonation)) {
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                            FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges;
    DWORD privileges_size = sizeof privileges, granted = 0;
    MapGenericMask(&right, &mapping);
    if (!AccessCheck(descriptor.data(), impersonation, right, &mapping,
                     &privileges, &privileges_size, &granted, &allowed)) {
      allowed = TRUE;
    }
  }
  if (impersonation != nullptr) CloseHandle(impersonation);
  if (token != nullptr) CloseHandle(token);
  return allowed;
}

}  // namespace

HeldFile::HeldFile(HeldFile&& other) noexcept
    : handle(std::exchange(other.handle, -1)), path(other.path) {}

HeldFile::~HeldFile() {
  if (handle != -1) CloseHandle(reinterpret_cast<HANDLE>(handle));
}

RunLogPlace FindRunLogPlace(const Text& file_name) {
  // Unset, it is empty, and the log lies in the current drive's root.
  wchar_t buffer[32768];
  const DWORD size = GetEnvironmentVariableW(L"TEMP", buffer, 32768);
  const Text directory =
      size > 0 && size < 32768 ? TextOfWide(buffer, size) : Text();
  return RunLogPlace{directory + TextOf("\\") + file_name, {}};
}

void CheckRunLog(const RunLogPlace& place, const std::vector<Text>&) {
  const std::wstring native = FileName(place.path);
  // Opened to read its owner and kind only, never for writing.
  const OpenFile file(
      CreateFileW(native.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  const DWORD error = GetLastError();
  if (file.handle != INVALID_HANDLE_VALUE) {
    RequireDiskFile(file, place.path);
    RequireTrustedOwner(file, place.path);
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if ((attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_READONLY) != 0) ||
        !MayAccess(native, FILE_APPEND_DATA)) {
      FailWithError(ERROR_ACCESS_DENIED, place.path);
    }
    return;
  }
  if (error != ERROR_FILE_NOT_FOUND) FailWithError(error, place.path);
  // A new log needs the folder's right to add a file: a standard user's
  // drive root, where an unset TEMP puts it, does not give it.
  const std::wstring folder = native.substr(0, native.find_last_of(L"\\/") + 1);
  if (!MayAccess(folder.empty() ? L"." : folder, FILE_ADD_FILE)) {
    FailWithError(ERROR_ACCESS_DENIED, place.path);
  }
}

HeldFile OpenRunLog(const RunLogPlace& place) {
  const std::wstring native = FileName(place.path);
  // Appending with shared access lets runs log at the same moment; a
  // reader that holds the file without sharing is waited for, for about two
  // seconds, so that a recording is not lost to it.
  PrivateFileSecurity security;
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD error = 0;
  for (int attempt = 0; attempt < 40; ++attempt) {
    handle = CreateFileW(
        native.c_str(), FILE_APPEND_DATA | FILE_WRITE_DATA | READ_CONTROL,
        FILE_SHARE_READ | FILE_SHARE_WRITE, &security.attributes, OPEN_ALWAYS,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE || !IsSharingConflict(error)) break;
    Sleep(50);
  }
  OpenFile file(handle);
  if (file.handle == INVALID_HANDLE_VALUE) FailWithError(error, place.path);
  RequireDiskFile(file, place.path);
  if (error == ERROR_ALREADY_EXISTS) RequireTrustedOwner(file, place.path);
  return HeldFile{reinterpret_cast<std::intptr_t>(
                      std::exchange(file.handle, INVALID_HANDLE_VALUE)),
                  place.path};
}

void AppendLines(HeldFile& file, const std::vector<Text>& lines) {
  std::wstring record;
  for (const Text& line : lines) record += Wide(line) + L"\r\n";
  const std::string bytes = AnsiBytesOf(record);
  const auto handle = reinterpret_cast<HANDLE>(file.handle);
  // Runs at the same moment take turns on a byte far past any log's end,
  // so that cutting back a failed write never takes another run's record
  // and readers are never locked out.
  OVERLAPPED lock_byte{};
  lock_byte.OffsetHigh = 0x100;
  for (int waited = 0;
       !LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY,
                   0, 1, 0, &lock_byte);
       ++waited) {
    if (!IsSharingConflict(GetLastError())) break;  // no locks here
    if (waited == 40) {
      throw Failure{FailureKind::kAccessDenied, file.path,
                    TextOf("locked by another program")};
    }
    Sleep(50);
  }
  LARGE_INTEGER size{};
  DWORD written = 0;
  // One write at the end; half a record would have the next one glued to
  // it, so a write that fails or falls short is cut back.
  const bool whole =
      GetFileSizeEx(handle, &size) &&
      SetFilePointerEx(handle, size, nullptr, FILE_BEGIN) &&
      WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()),
                &written, nullptr) &&
      written == bytes.size();
  const DWORD error = written < bytes.size() && GetLastError() == 0
                          ? ERROR_HANDLE_DISK_FULL
                          : GetLastError();
  if (!whole) {
    SetFilePointerEx(handle, size, nullptr, FILE_BEGIN);
    SetEndOfFile(handle);
  }
  UnlockFileEx(handle, 0, 1, 0, &lock_byte);
  if (!whole) FailWithError(error, file.path);
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

// The folders CreateProcessW searches for a program, in its order: the
// launcher's own, the current one (unless the system says not to, as
// NoDefaultCurrentDirectoryInExePath does), the system's, the 16-bit system
// folder, Windows' own, then PATH.
std::wstring ProgramSearchPath(const std::wstring& name) {
  wchar_t buffer[32768];
  std::wstring own(buffer, GetModuleFileNameW(nullptr, buffer, 32768));
  std::wstring path = own.substr(0, own.find_last_of(L"\\/") + 1) + L";";
  if (NeedCurrentDirectoryForExePathW(name.c_str())) path += L".;";
  path.append(buffer, GetSystemDirectoryW(buffer, 32768));
  const std::wstring windows(buffer, GetWindowsDirectoryW(buffer, 32768));
  path += L";" + windows + L"\\System;" + windows + L";";
  return path.append(buffer, GetEnvironmentVariableW(L"PATH", buffer, 32768));
}

// The file a search of those folders finds for a program name, ".exe"
// added to a name without an extension, or empty; never a directory.
std::wstring SearchProgram(const std::wstring& folders,
                           const std::wstring& name) {
  wchar_t found[32768];
  const DWORD size = SearchPathW(folders.c_str(), name.c_str(), L".exe", 32768,
                                 found, nullptr);
  if (size == 0 || size >= 32768) return std::wstring();
  const DWORD attributes = GetFileAttributesW(found);
  return attributes == INVALID_FILE_ATTRIBUTES ||
                 (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
             ? std::wstring()
             : std::wstring(found, size);
}

// The program a command line starts, found once by the rules the system
// applies to a command line without an application name, and then named
// to it, so that nothing is guessed twice. A quoted first word is the
// name. An unquoted one is tried with each run of the words after it
// ("C:\Program", "C:\Program Files\Rec\rec.exe", ...), up to a run that
// holds a quote or a wildcard, which names no file: where more than one of
// these exists, the system would start the shortest, which anyone able to
// write there could have planted, so the command is refused instead.
// The line the program gets begins with the program: spaces before it
// would make its first argument its own path, and a run of several words
// becomes the found path in quotes, so that its arguments are the job's.
ProgramToStart ResolveProgram(const Text& command_line) {
  const std::wstring whole = NativeName(command_line);
  const Text first = ProgramAndArguments(command_line)[0];
  std::wstring line = whole.substr(whole.find_first_not_of(L" \t"));
  const std::wstring folders = ProgramSearchPath(Wide(first));
  std::vector<std::wstring> found;
  std::size_t named = 0;  // how much of the line named the program found
  if (line[0] == L'"') {
    found.push_back(SearchProgram(folders, Wide(first)));
  } else {
    const std::size_t unnamable = line.find_first_of(L"\"*?<>|");
    for (std::size_t at = 0; at < line.size();) {
      at = std::min(line.find_first_of(L" \t", at + 1), line.size());
      if (unnamable < at) break;
      if (line[at - 1] == L' ' || line[at - 1] == L'\t') continue;
      const std::wstring program = SearchProgram(folders, line.substr(0, at));
      if (!program.empty() &&
          std::none_of(found.begin(), found.end(), [&](const auto& other) {
            return CompareStringOrdinal(other.c_str(), -1, program.c_str(), -1,
                                        TRUE) == CSTR_EQUAL;
          })) {
        found.push_back(program);
        named = at;
      }
    }
  }
  if (found.size() > 1) {
    Text names = TextOfWide(found[0]);
    for (std::size_t i = 1; i < found.size(); ++i) {
      names += TextOf(", ") + TextOfWide(found[i]);
    }
    throw Failure{FailureKind::kBadFileName, names,
                  TextOf("ambiguous: more than one program matches; quote the "
                         "program's path")};
  }
  if (found.empty() || found[0].empty()) {
    throw Failure{FailureKind::kProgramNotFound, first,
                  SystemMessage(ERROR_FILE_NOT_FOUND, first)};
  }
  if (line.substr(0, named).find_first_of(L" \t") != std::wstring::npos) {
    line = L"\"" + found[0] + L"\"" + line.substr(named);
  }
  return ProgramToStart{TextOfWide(found[0]), TextOfWide(line)};
}

}  // namespace

namespace {

// Whether the file name ends in one of these extensions, in any case.
bool HasExtension(const std::wstring& path,
                  std::initializer_list<const wchar_t*> extensions) {
  const auto dot = path.find_last_of(L".\\/");
  const std::wstring extension =
      dot == std::wstring::npos || path[dot] != L'.' ? L"" : path.substr(dot);
  return std::any_of(extensions.begin(), extensions.end(), [&](auto known) {
    return CompareStringOrdinal(extension.c_str(), -1, known, -1, TRUE) ==
           CSTR_EQUAL;
  });
}

// What the system starts: a PE image ("MZ", and "PE" where its header
// says), or a batch or .com file, which it hands to their own runners. A
// file that cannot be read is left for the start to judge.
void RequireRunnable(const std::wstring& program) {
  if (HasExtension(program, {L".bat", L".cmd", L".com"})) return;
  const OpenFile file(
      CreateFileW(program.c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.handle == INVALID_HANDLE_VALUE) return;
  unsigned char header[64] = {}, signature[4] = {};
  DWORD got = 0;
  ReadFile(file.handle, header, sizeof header, &got, nullptr);
  const LONG at =
      header[60] | header[61] << 8 | header[62] << 16 | header[63] << 24;
  LARGE_INTEGER offset{};
  offset.QuadPart = at;
  const bool image =
      got == sizeof header && header[0] == 'M' && header[1] == 'Z' && at > 0 &&
      SetFilePointerEx(file.handle, offset, nullptr, FILE_BEGIN) &&
      ReadFile(file.handle, signature, 4, &got, nullptr) && got == 4 &&
      std::memcmp(signature, "PE\0\0", 4) == 0;
  if (!image) FailWithError(ERROR_BAD_EXE_FORMAT, TextOfWide(program));
}

}  // namespace

bool IsReadByCommandShell(const Text& program) {
  return HasExtension(Wide(program), {L".bat", L".cmd"});
}

ProgramToStart FindProgram(const Text& command_line) {
  const ProgramToStart program = ResolveProgram(command_line);
  RequireRunnable(Wide(program.path));
  return program;
}

void StartProcess(const ProgramToStart& found) {
  const std::wstring program = NativeName(found.path);
  std::wstring line = NativeName(found.command_line);
  // A console of its own, minimised and not activated, so that the
  // recorder holds none of the caller's handles, standard ones included: a
  // caller reading the launcher's output is not kept waiting for the
  // recording's end. Out of the caller's job where the job allows it, so
  // that a scheduler stopped or restarted does not take recordings with it.
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWMINNOACTIVE;
  PROCESS_INFORMATION started{};
  DWORD flags = CREATE_NEW_CONSOLE | CREATE_BREAKAWAY_FROM_JOB;
  // A job that forbids leaving it makes the start access denied: started
  // inside it then. Many starts at one moment can fail on an internal error
  // that passes (seen under Wine): tried again, a recording is not lost.
  bool done = false;
  for (int attempt = 0; attempt < 4 && !done; ++attempt) {
    done = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE,
                          flags, nullptr, nullptr, &startup, &started);
    const DWORD error = done ? 0 : GetLastError();
    if (error == ERROR_ACCESS_DENIED &&
        (flags & CREATE_BREAKAWAY_FROM_JOB) != 0) {
      flags &= ~static_cast<DWORD>(CREATE_BREAKAWAY_FROM_JOB);
    } else if (error == ERROR_INTERNAL_ERROR) {
      Sleep(20);
    } else {
      break;
    }
  }
  if (!done) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      throw Failure{FailureKind::kProgramNotFound, TextOfWide(program),
                    SystemMessage(error, TextOfWide(program))};
    }
    FailWithError(error, TextOfWide(program));
  }
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
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
