// The few file-system calls the library makes besides the engine's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/serverpath.h"

namespace btr {

bool FileExists(const std::string& path);
// Reads exactly `count` bytes from the start of a file; EInOutError when it
// cannot be opened or is shorter.
std::vector<uint8_t> ReadFileBytes(const std::string& path, size_t count);
// The last component of a path ("/a/b/C.DAT" -> "C.DAT"; "\" counts too,
// since dictionaries written elsewhere carry Windows paths). A server path's
// is its file's name, its URI parameters left out and %-escapes decoded.
std::string ExtractFileName(const std::string& path);

// The file `name` beside the file at `sibling`: in its directory, or in its
// database on its server (with its URI parameters).
std::string PathBeside(const std::string& sibling, const std::string& name);
// The file a dictionary at `dictPath` means by the name `file`: a bare name
// beside a dictionary on a server; anything else as it stands (a bare name
// beside a local dictionary is where the working directory says).
std::string DescribedFile(const std::string& dictPath, const std::string& file);

} // namespace btr
