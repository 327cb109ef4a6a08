// The program of a launch command on Windows: found once by the rules the
// system applies to a command line, checked to be one it runs, and started
// in a console of its own, minimised and not activated.
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/internal-win32.h"
#include "platform/platform.h"
#include "text/command_line.h"

namespace pvr {
namespace {

// The folders CreateProcessW searches for a program, in its order: the
// launcher's own, the current one (unless the system says not to, as
// NoDefaultCurrentDirectoryInExePath does), the system's, the 16-bit system
// folder, Windows' own, then PATH.
std::wstring ProgramSearchPath(const std::wstring& name) {
  wchar_t buffer[32768];
  // Each length checked against the buffer: one that does not fit is the
  // size the system wanted, not what it wrote.
  const auto fitting = [&](DWORD size) {
    return std::wstring(buffer, size < 32768 ? size : 0);
  };
  const std::wstring own = fitting(GetModuleFileNameW(nullptr, buffer, 32768));
  std::wstring path = own.substr(0, own.find_last_of(L"\\/") + 1) + L";";
  if (NeedCurrentDirectoryForExePathW(name.c_str())) path += L".;";
  path += fitting(GetSystemDirectoryW(buffer, 32768));
  const std::wstring windows = fitting(GetWindowsDirectoryW(buffer, 32768));
  path += L";" + windows + L"\\System;" + windows + L";";
  // A custom environment block may hold a PATH of any length.
  std::wstring search(GetEnvironmentVariableW(L"PATH", nullptr, 0), L'\0');
  search.resize(GetEnvironmentVariableW(L"PATH", search.data(),
                                        static_cast<DWORD>(search.size())));
  return path + search;
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
ProgramToStart ResolveProgram(const Text& command_line, const Text& first) {
  const std::wstring whole = NativeName(command_line);
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
      // No file name is longer than 255 characters, so neither this run
      // nor a longer one can name a file (a command of many words would
      // otherwise search for every one of its prefixes).
      if (at - (line.find_last_of(L"\\/", at - 1) + 1) > 255) break;
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
  return ProgramToStart{TextOfWide(found[0]), TextOfWide(line), {}};
}

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
// says), a .com file too (64-bit Windows runs no other kind), or a batch
// file, which it hands to cmd.exe. A file that cannot be read is left for
// the start to judge.
void RequireRunnable(const std::wstring& program) {
  if (HasExtension(program, {L".bat", L".cmd"})) return;
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

// The system's own cmd.exe, never PATH's or ComSpec's.
std::wstring CommandShell() {
  wchar_t folder[MAX_PATH + 1];
  const UINT size = GetSystemDirectoryW(folder, MAX_PATH + 1);
  if (size == 0 || size > MAX_PATH) {
    FailWithError(GetLastError(), TextOf("cmd.exe"));
  }
  return std::wstring(folder, size) + L"\\cmd.exe";
}

}  // namespace

bool IsReadByCommandShell(const Text& program) {
  return HasExtension(Wide(program), {L".bat", L".cmd"});
}

ProgramToStart FindProgram(const Text& command_line,
                           const std::vector<Text>& words) {
  ProgramToStart program = ResolveProgram(command_line, words[0]);
  program.words = words;
  RequireRunnable(Wide(program.path));
  if (!IsReadByCommandShell(program.path)) return program;
  // cmd.exe searches for a batch file's first word itself, in the current
  // folder and PATH, never where it was found here: it is given the found
  // path, quoted, and with /s takes the rest between one outer pair of
  // quotes as it stands.
  const std::wstring line = NativeName(program.command_line);
  const auto end =
      line[0] == L'"' ? line.find(L'"', 1) + 1 : line.find_first_of(L" \t");
  program.command_line =
      TextOf("cmd.exe /d /s /c \"\"") + program.path + TextOf("\"") +
      TextOfWide(end == 0 || end > line.size() ? L"" : line.substr(end)) +
      TextOf("\"");
  return program;
}

void StartProcess(const ProgramToStart& found, HeldFile*, const Text&) {
  const std::wstring program = IsReadByCommandShell(found.path)
                                   ? CommandShell()
                                   : NativeName(found.path);
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

}  // namespace pvr
