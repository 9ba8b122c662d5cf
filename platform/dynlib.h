// Dynamic libraries. A Windows library name "NAME.DLL" is looked up as
// "libname.so" in the default search order; a path is used as given.
#pragma once

#include <string>
#include <string_view>

namespace btr {

using TLibHandle = void*;

std::string HostLibraryName(std::string_view name);
// nullptr when the library cannot be loaded.
TLibHandle LoadLibrary(std::string_view name);
void* GetProcAddress(TLibHandle lib, const char* symbol);
void FreeLibrary(TLibHandle lib);

} // namespace btr
