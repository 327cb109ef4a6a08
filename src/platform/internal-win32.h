// Helpers that the Windows files of this folder share; nothing outside it
// includes this header but the unit tests, which reach DecodeWhole and
// IsTrustedOwner. Text is UTF-16 as wchar_t is.
#pragma once

#include <windows.h>
// After <windows.h>, which it needs.
#include <aclapi.h>
#include <sddl.h>
#undef DeleteFile   // <windows.h>'s name for DeleteFileW; pvr has its own
#undef ReplaceText  // <windows.h>'s name for ReplaceTextW; pvr has its own

#include <string>

#include "platform/platform.h"

namespace pvr {

std::wstring Wide(const Text& text);
Text TextOfWide(const wchar_t* wide, std::size_t size);
Text TextOfWide(const std::wstring& wide);

// Text in the ANSI code page, as files and the standard error handle take it.
std::string AnsiBytesOf(const std::wstring& wide);

// The system would stop reading a path at a NUL and see another file.
std::wstring NativeName(const Text& name);

// A file path as the system takes it. A name the system resolves to a
// device (NUL, CON, COM1, with or without an extension, as the running
// version of Windows decides; "\\.\COM1") is no file to read, write or
// delete; "\\.\C:\..." is a file on that drive.
std::wstring PathOfFile(const Text& path);

// The folder a native path's file lies in, with its separator; "." for a
// bare name.
std::wstring FolderOf(const std::wstring& native);

FailureKind KindOfError(DWORD error);

// The system's words for the error; where they leave a place for the object
// ("%1"), the object fills it, so no report shows a bare placeholder.
Text SystemMessage(DWORD error, const Text& object);

[[noreturn]] void FailWithError(DWORD error, const Text& object);

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
void RequireDiskFile(const OpenFile& file, const Text& path);

// Takes the whole characters of the code page from the start of bytes and
// gives them decoded; a character cut off at the end (a double-byte code
// page's lead byte, a UTF-8 sequence begun) stays for the next piece,
// unless the file ends there.
Text DecodeWhole(std::string& bytes, bool file_ends, unsigned code_page);

// Whether the account with this SID ("S-1-5-18") may own the run log: the
// user, SYSTEM or the Administrators group, and no one else.
bool IsTrustedOwner(const Text& sid);

}  // namespace pvr
