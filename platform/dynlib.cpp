#include "platform/dynlib.h"

#include <dlfcn.h>

namespace btr {

std::string HostLibraryName(std::string_view name) {
    if (name.find('/') != std::string_view::npos) return std::string(name);
    std::string base(name);
    if (base.size() > 4) {
        std::string ext = base.substr(base.size() - 4);
        for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c | 0x20 : c);
        if (ext == ".dll") {
            base.resize(base.size() - 4);
            for (char& c : base) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c | 0x20 : c);
            return "lib" + base + ".so";
        }
    }
    return base;
}

TLibHandle LoadLibrary(std::string_view name) {
    const std::string file = HostLibraryName(name);
    return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* GetProcAddress(TLibHandle lib, const char* symbol) {
    return lib ? dlsym(lib, symbol) : nullptr;
}

void FreeLibrary(TLibHandle lib) {
    if (lib) dlclose(lib);
}

} // namespace btr
