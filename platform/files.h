// The few file-system calls the library makes besides the engine's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace btr {

bool FileExists(const std::string& path);
// Reads exactly `count` bytes from the start of a file; EInOutError when it
// cannot be opened or is shorter.
std::vector<uint8_t> ReadFileBytes(const std::string& path, size_t count);
// The last component of a path ("/a/b/C.DAT" -> "C.DAT"; "\" counts too,
// since dictionaries written elsewhere carry Windows paths).
std::string ExtractFileName(const std::string& path);

} // namespace btr
