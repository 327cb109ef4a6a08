// The run log on Windows: in TEMP, made for the user, SYSTEM and the
// administrators alone, another user's refused, appended to whole under a
// lock.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/internal-win32.h"
#include "platform/platform.h"

namespace pvr {
namespace {

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
void RequireOwnFile(const OpenFile& file, const Text& path) {
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
  // A second link may be another user's file linked in (older Windows let
  // any user link a file in C:\Windows\Temp).
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileInformationByHandle(file.handle, &information) &&
      information.nNumberOfLinks > 1) {
    throw Failure{FailureKind::kAccessDenied, path,
                  TextOf("a file with more than one hard link")};
  }
}

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

// Opened as the run appends: sharing reading and writing, so that runs log
// at the same moment; a reader that holds the file without sharing is
// waited for, for about two seconds, so that a recording is not lost to it.
OpenFile OpenForAppending(const std::wstring& native, DWORD disposition,
                          SECURITY_ATTRIBUTES* security, DWORD& error) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 40; ++attempt) {
    handle = CreateFileW(native.c_str(),
                         FILE_APPEND_DATA | FILE_WRITE_DATA | READ_CONTROL |
                             FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, security,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE || !IsSharingConflict(error)) break;
    Sleep(50);
  }
  return OpenFile(handle);
}

// Runs at the same moment take turns on a byte far past any log's end, so
// that cutting back a failed write never takes another run's record and
// readers are never locked out; a program that holds it for about two
// seconds fails the run. Unlocked by UnlockFileEx on the same byte.
void LockInTurn(HANDLE handle, OVERLAPPED& lock_byte, const Text& path) {
  lock_byte.OffsetHigh = 0x100;
  for (int waited = 0;
       !LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY,
                   0, 1, 0, &lock_byte);
       ++waited) {
    if (!IsSharingConflict(GetLastError())) return;  // no locks here
    if (waited == 40) {
      throw Failure{FailureKind::kAccessDenied, path,
                    TextOf("locked by another program")};
    }
    Sleep(50);
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

HeldFile::HeldFile(HeldFile&& other) noexcept
    : handle(std::exchange(other.handle, -1)),
      path(other.path),
      replaced(other.replaced) {}

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

HeldFile CheckRunLog(const RunLogPlace& place, const std::vector<Text>&) {
  const std::wstring native = PathOfFile(place.path);
  // An existing log is opened as the run appends, and its lock tried and
  // let go: what refuses it (its rights, a holder that shares no writing, a
  // lock) does so before anything changes. The run appends through it.
  DWORD error = 0;
  OpenFile file = OpenForAppending(native, OPEN_EXISTING, nullptr, error);
  if (file.handle != INVALID_HANDLE_VALUE) {
    RequireDiskFile(file, place.path);
    RequireOwnFile(file, place.path);
    OVERLAPPED lock_byte{};
    LockInTurn(file.handle, lock_byte, place.path);
    UnlockFileEx(file.handle, 0, 1, 0, &lock_byte);
    return HeldFile{reinterpret_cast<std::intptr_t>(
                        std::exchange(file.handle, INVALID_HANDLE_VALUE)),
                    place.path};
  }
  if (error != ERROR_FILE_NOT_FOUND) FailWithError(error, place.path);
  // A new log needs the folder's right to add a file (a standard user's
  // drive root, where an unset TEMP puts it, does not give it), on a volume
  // that takes writing (not a read-only medium or mount).
  const std::wstring folder = FolderOf(native);
  if (!MayAccess(folder, FILE_ADD_FILE)) {
    FailWithError(ERROR_ACCESS_DENIED, place.path);
  }
  wchar_t volume[MAX_PATH];
  DWORD flags = 0;
  if (GetVolumePathNameW(folder.c_str(), volume, MAX_PATH) &&
      GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, &flags,
                            nullptr, 0) &&
      (flags & FILE_READ_ONLY_VOLUME) != 0) {
    FailWithError(ERROR_WRITE_PROTECT, place.path);
  }
  return HeldFile();
}

HeldFile OpenRunLog(const RunLogPlace& place, HeldFile planned, bool replace) {
  if (planned.handle != -1) {
    if (replace && !SetEndOfFile(reinterpret_cast<HANDLE>(planned.handle))) {
      FailWithError(GetLastError(), place.path);
    }
    return planned;
  }
  const std::wstring native = PathOfFile(place.path);
  PrivateFileSecurity security;
  DWORD error = 0;
  OpenFile file =
      OpenForAppending(native, OPEN_ALWAYS, &security.attributes, error);
  if (file.handle == INVALID_HANDLE_VALUE) FailWithError(error, place.path);
  RequireDiskFile(file, place.path);
  if (error == ERROR_ALREADY_EXISTS) RequireOwnFile(file, place.path);
  // Emptied only once judged.
  if (replace && !SetEndOfFile(file.handle)) {
    FailWithError(GetLastError(), place.path);
  }
  return HeldFile{reinterpret_cast<std::intptr_t>(
                      std::exchange(file.handle, INVALID_HANDLE_VALUE)),
                  place.path};
}

std::optional<Text> LockedFileHeading(const Text&) { return std::nullopt; }

std::optional<Text> WhyNoFileCanBeMadeIn(const Text& directory) {
  const std::wstring native = PathOfFile(directory);
  const DWORD attributes = GetFileAttributesW(native.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return SystemMessage(attributes == INVALID_FILE_ATTRIBUTES
                             ? GetLastError()
                             : ERROR_DIRECTORY,
                         directory);
  }
  if (MayAccess(native, FILE_ADD_FILE)) return std::nullopt;
  return SystemMessage(ERROR_ACCESS_DENIED, directory);
}

bool KeepsRecordingOutput() { return false; }

void AppendLines(HeldFile& file, const std::vector<Text>& lines) {
  std::wstring record;
  for (const Text& line : lines) record += Wide(line) + L"\r\n";
  const std::string bytes = AnsiBytesOf(record);
  const auto handle = reinterpret_cast<HANDLE>(file.handle);
  OVERLAPPED lock_byte{};
  LockInTurn(handle, lock_byte, file.path);
  LARGE_INTEGER size{};
  DWORD written = 0;
  // One write at the end; half a record would have the next one glued to
  // it, so a write that fails or falls short is cut back. A write that
  // succeeds short sets no error of its own: its counts are the report.
  const bool wrote =
      GetFileSizeEx(handle, &size) &&
      SetFilePointerEx(handle, size, nullptr, FILE_BEGIN) &&
      WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()),
                &written, nullptr);
  const DWORD error = wrote ? ERROR_SUCCESS : GetLastError();
  const bool whole = wrote && written == bytes.size();
  if (!whole) {
    SetFilePointerEx(handle, size, nullptr, FILE_BEGIN);
    SetEndOfFile(handle);
  }
  UnlockFileEx(handle, 0, 1, 0, &lock_byte);
  if (error != ERROR_SUCCESS) FailWithError(error, file.path);
  if (!whole) {
    throw Failure{FailureKind::kInputOutput, file.path,
                  TextOf(("wrote " + std::to_string(written) + " of " +
                          std::to_string(bytes.size()) + " bytes")
                             .c_str())};
  }
}

}  // namespace pvr
