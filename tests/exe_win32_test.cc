// What Explorer and the loader see of pvr-launch.exe itself.
#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "launcher_test.h"

namespace pvr_test {
namespace {

const std::wstring kExe = NativePath(BuildPath(PVR_LAUNCH)).wstring();

TEST(ExecutableTest, IsAGuiProgramWithAVersionRecord) {
  const HMODULE image =
      LoadLibraryExW(kExe.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr);
  const auto* base = reinterpret_cast<const char*>(
      reinterpret_cast<std::uintptr_t>(image) & ~std::uintptr_t{3});
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
  // Self-contained: nothing to import but the system's own DLLs.
  const std::set<std::string> system = {"kernel32.dll", "user32.dll",
                                        "msvcrt.dll", "advapi32.dll"};
  for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
           base + nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT]
                      .VirtualAddress);
       entry->Name != 0; ++entry) {
    std::string name = base + entry->Name;
    for (char& c : name) c = static_cast<char>(std::tolower(c));
    EXPECT_EQ(system.count(name), 1u) << name;
  }
  FreeLibrary(image);
  std::vector<char> record(GetFileVersionInfoSizeW(kExe.c_str(), nullptr));
  ASSERT_TRUE(GetFileVersionInfoW(
      kExe.c_str(), 0, static_cast<DWORD>(record.size()), record.data()));
  for (const wchar_t* name : {L"FileVersion", L"ProductVersion"}) {
    wchar_t* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(
        record.data(),
        (L"\\StringFileInfo\\040904B0\\" + std::wstring(name)).c_str(),
        reinterpret_cast<void**>(&value), &length));
    EXPECT_EQ(std::wstring(value), NativePath(PVR_VERSION).wstring());
  }
}

BOOL CALLBACK CollectType(HMODULE, LPWSTR type, LONG_PTR types) {
  reinterpret_cast<std::set<ULONG_PTR>*>(types)->insert(
      reinterpret_cast<ULONG_PTR>(type));
  return TRUE;
}

TEST(ExecutableTest, HasTwoIconImagesAndNoOtherResources) {
  const HMODULE module =
      LoadLibraryExW(kExe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  std::set<ULONG_PTR> types;
  EnumResourceTypesW(module, CollectType, reinterpret_cast<LONG_PTR>(&types));
  // RT_ICON, RT_GROUP_ICON, RT_VERSION
  EXPECT_EQ(types, (std::set<ULONG_PTR>{3, 14, 16}));
  const auto* group = static_cast<const unsigned char*>(LockResource(
      LoadResource(module, FindResourceW(module, MAKEINTRESOURCEW(1),
                                         MAKEINTRESOURCEW(14)))));
  ASSERT_NE(group, nullptr);
  std::set<std::pair<int, int>> images;  // (width, bits per pixel)
  for (int i = 0; i < (group[4] | group[5] << 8); ++i) {
    const unsigned char* entry = group + 6 + 14 * i;
    images.insert({entry[0], entry[6] | entry[7] << 8});
  }
  EXPECT_EQ(images, (std::set<std::pair<int, int>>{{16, 8}, {32, 8}}));
  FreeLibrary(module);
}

}  // namespace
}  // namespace pvr_test
