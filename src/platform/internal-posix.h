// Helpers that the POSIX files of this folder share; nothing outside it
// includes this header.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/platform.h"

namespace pvr {

// Each byte is the character of the same value and back: the code page is
// the identity, so every byte of a path or command passes unchanged.
std::string BytesOf(const Text& text);
Text TextOfBytes(const std::string& bytes);

// The name as the system takes it; one holding a NUL character, which the
// system would read as a shorter name, is a bad file name.
std::string NativeName(const Text& name);

// The directory part of a path, "." for a bare name.
std::string DirectoryOf(const std::string& path);

FailureKind KindOfError(int error, const std::string& path);
[[noreturn]] void FailWithError(int error, const Text& object,
                                const std::string& path);

// Closes on every way out, failures included.
struct OpenFile {
  explicit OpenFile(int opened) : descriptor(opened) {}
  OpenFile(OpenFile&& other) noexcept : descriptor(other.descriptor) {
    other.descriptor = -1;
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile();
  int descriptor;
};

// Opened without blocking on a FIFO or a device, and refused unless it is a
// regular file; status is what was opened.
OpenFile OpenRegularFile(const Text& path, int flags, struct stat& status);

// The field of a user's entry in the user database: 0 the name, 5 the home.
std::string UserEntry(unsigned uid, int field);

// Whether the bytes begin an ELF image this machine runs; the interpreter
// it names, where the bytes hold the name, goes to interpreter.
bool IsNativeImage(const std::string& header, std::string& interpreter);

// Whether a binfmt_misc registration, as its file under /proc reads, takes
// a file of this path beginning with header: a magic at an offset under a
// mask, or an extension.
bool TakesFormat(const std::string& registration, const std::string& path,
                 const std::string& header);

}  // namespace pvr
