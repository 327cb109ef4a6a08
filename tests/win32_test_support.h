// Helpers of the Windows end-to-end tests, which run under Wine.
#pragma once

#include <windows.h>

#include <string>

namespace pvr_test {

// A path the build knows in its host's form, as the test program sees it.
inline std::wstring WindowsPath(const char* build_path) {
  std::wstring path(build_path,
                    build_path + std::char_traits<char>::length(build_path));
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path.size() > 1 && path[1] == L':' ? path : L"Z:" + path;
}

inline std::string Slurp(const std::wstring& path) {
  std::string bytes;
  const HANDLE file = CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    bytes.append(buffer, got);
  }
  CloseHandle(file);
  return bytes;
}

}  // namespace pvr_test
