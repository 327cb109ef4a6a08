// The job and target files on Windows: which exist, their deletion, and
// reading a job file in the ANSI code page, a piece at a time.
#include <algorithm>
#include <functional>
#include <string>

#include "platform/internal-win32.h"
#include "platform/platform.h"

namespace pvr {

HeldFolder::~HeldFolder() {
  if (handle != -1) CloseHandle(reinterpret_cast<HANDLE>(handle));
}

HeldFolder HoldFolderOf(const Text& file_path) {
  // Listing access takes part in sharing: without FILE_SHARE_DELETE, no
  // one may rename or delete the folder while it is held.
  return HeldFolder(reinterpret_cast<std::intptr_t>(CreateFileW(
      FolderOf(PathOfFile(file_path)).c_str(),
      FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
}

// The held folder cannot be replaced: the file is reached by its path.
bool FileExists(const Text& path, const HeldFolder*) {
  const std::wstring native = PathOfFile(path);
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

namespace {

// Opened for deletion sharing reading and deletion, not writing: a program
// writing to the file (a recording in progress) makes that a sharing
// violation, before anything changes; a reader, an indexer or a virus
// scanner that allows deletion does not. Invalid where the file is gone.
OpenFile OpenForDeletion(const Text& path, const std::wstring& native) {
  OpenFile file(CreateFileW(
      native.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  const DWORD error = GetLastError();
  if (file.handle != INVALID_HANDLE_VALUE || error == ERROR_FILE_NOT_FOUND) {
    return file;
  }
  if (error == ERROR_SHARING_VIOLATION) {
    throw Failure{FailureKind::kAccessDenied, path,
                  TextOf("held by another program that writes to it or "
                         "forbids its deletion: a recording in progress")};
  }
  FailWithError(error, path);
}

}  // namespace

void DeleteFile(const Text& path, const HeldFolder*) {
  // One that another run of the same job deleted first is gone, which is
  // all this step is for.
  const std::wstring native = PathOfFile(path);
  std::wstring away;
  {
    const OpenFile file = OpenForDeletion(path, native);
    if (file.handle == INVALID_HANDLE_VALUE) return;
    // POSIX semantics: the name goes at once, even while a reader still
    // holds the file (FILE_DISPOSITION_FLAG_DELETE | _POSIX_SEMANTICS).
    // (FileDispositionInfoEx, which headers for older Windows leave out.)
    DWORD posix_delete = 0x1 | 0x2;
    const auto disposition_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
    if (!SetFileInformationByHandle(file.handle, disposition_ex, &posix_delete,
                                    sizeof posix_delete)) {
      // Without them (FAT, exFAT, older Windows) the name would stay until
      // the last holder lets go: renamed first to a name of its own.
      away = native + L".~pvr-deleted-" +
             std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(GetTickCount64());
      if (!MoveFileExW(native.c_str(), away.c_str(), 0)) away.clear();
      FILE_DISPOSITION_INFO dispose{TRUE};
      if (!SetFileInformationByHandle(file.handle, FileDispositionInfo,
                                      &dispose, sizeof dispose)) {
        const DWORD error = GetLastError();
        if (!away.empty()) MoveFileExW(away.c_str(), native.c_str(), 0);
        FailWithError(error, path);
      }
    }
  }
  // Where the file system let the mark go with the old name (Wine does),
  // the renamed file is deleted by its new name, or when its last holder
  // lets go.
  if (!away.empty()) DeleteFileW(away.c_str());
  // A name still pending deletion is not waited on for as long as another
  // program holds it.
  for (int waited = 0;
       GetFileAttributesW(native.c_str()) != INVALID_FILE_ATTRIBUTES ||
       GetLastError() == ERROR_ACCESS_DENIED;
       ++waited) {
    if (waited == 100) {
      throw Failure{FailureKind::kAccessDenied, path,
                    TextOf("its deletion is pending while another program "
                           "holds it")};
    }
    Sleep(50);
  }
}

void CheckDeletable(const Text& path) {
  const std::wstring native = PathOfFile(path);
  const DWORD attributes = GetFileAttributesW(native.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    FailWithError(ERROR_ACCESS_DENIED, path);
  }
  // Opened for deletion and let go: what a deletion would be refused.
  OpenForDeletion(path, native);
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
      CreateFileW(PathOfFile(path).c_str(), GENERIC_READ,
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

}  // namespace pvr
