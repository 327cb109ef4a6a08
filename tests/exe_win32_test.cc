// What Explorer and the loader see of pvr-launch.exe itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "win32_test_support.h"

namespace {

using pvr_test::Slurp;
using pvr_test::WindowsPath;

TEST(ExecutableTest, IsAGuiProgramNeedingOnlyTheSystemsDlls) {
  const std::string image = Slurp(WindowsPath(PVR_LAUNCH));
  ASSERT_GT(image.size(), 4096u);
  const char* base = image.data();
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
  const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
  const auto at = [&](DWORD rva) {
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
      const auto& section = sections[i];
      if (rva >= section.VirtualAddress &&
          rva < section.VirtualAddress + section.SizeOfRawData) {
        return base + (rva - section.VirtualAddress + section.PointerToRawData);
      }
    }
    return static_cast<const char*>(nullptr);
  };
  const auto& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  const std::set<std::string> system = {"kernel32.dll", "user32.dll",
                                        "msvcrt.dll",   "advapi32.dll",
                                        "ntdll.dll",    "gdi32.dll"};
  int count = 0;
  for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
           at(imports.VirtualAddress));
       entry != nullptr && entry->Name != 0; ++entry, ++count) {
    std::string name = at(entry->Name);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    EXPECT_TRUE(system.count(name) == 1) << name;
  }
  EXPECT_GE(count, 2);
}

std::wstring VersionString(const std::vector<char>& record,
                           const wchar_t* name) {
  wchar_t* value = nullptr;
  UINT length = 0;
  const std::wstring query =
      L"\\StringFileInfo\\040904B0\\" + std::wstring(name);
  if (!VerQueryValueW(record.data(), query.c_str(),
                      reinterpret_cast<void**>(&value), &length)) {
    return L"";
  }
  return std::wstring(value, length > 0 ? length - 1 : 0);
}

TEST(ExecutableTest, CarriesTheVersionRecord) {
  const std::wstring exe = WindowsPath(PVR_LAUNCH);
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<char> record(size);
  ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, record.data()));
  const std::string version = PVR_VERSION;
  EXPECT_EQ(VersionString(record, L"FileVersion"),
            std::wstring(version.begin(), version.end()));
  EXPECT_EQ(VersionString(record, L"ProductVersion"),
            std::wstring(version.begin(), version.end()));
  EXPECT_EQ(VersionString(record, L"ProductName"), L"pvr-launch");
  EXPECT_EQ(VersionString(record, L"OriginalFilename"), L"pvr-launch.exe");
  EXPECT_NE(VersionString(record, L"FileDescription"), L"");
  EXPECT_NE(VersionString(record, L"LegalCopyright"), L"");
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(record.data(), L"\\",
                             reinterpret_cast<void**>(&fixed), &length));
  const unsigned major = std::stoul(version);
  EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), major);
}

BOOL CALLBACK CollectType(HMODULE, LPWSTR type, LONG_PTR types) {
  reinterpret_cast<std::set<ULONG_PTR>*>(types)->insert(
      reinterpret_cast<ULONG_PTR>(type));
  return TRUE;
}

TEST(ExecutableTest, HasTwoIconImagesAndNoOtherResources) {
  const HMODULE module = LoadLibraryExW(WindowsPath(PVR_LAUNCH).c_str(),
                                        nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  std::set<ULONG_PTR> types;
  EnumResourceTypesW(module, CollectType, reinterpret_cast<LONG_PTR>(&types));
  const std::set<ULONG_PTR> expected = {ULONG_PTR{3},    // RT_ICON
                                        ULONG_PTR{14},   // RT_GROUP_ICON
                                        ULONG_PTR{16}};  // RT_VERSION
  EXPECT_EQ(types, expected);
  const HRSRC found =
      FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14));
  ASSERT_NE(found, nullptr);
  const auto* group = static_cast<const unsigned char*>(
      LockResource(LoadResource(module, found)));
  ASSERT_NE(group, nullptr);
  const int count = group[4] | group[5] << 8;
  std::set<std::pair<int, int>> images;  // (width, bits per pixel)
  for (int i = 0; i < count; ++i) {
    const unsigned char* entry = group + 6 + 14 * i;
    EXPECT_EQ(entry[0], entry[1]);  // square
    images.insert({entry[0], entry[6] | entry[7] << 8});
  }
  EXPECT_EQ(images, (std::set<std::pair<int, int>>{{16, 8}, {32, 8}}));
  FreeLibrary(module);
}

}  // namespace
