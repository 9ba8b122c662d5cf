#include "tools/package.h"

#include <iterator>
#include <mutex>

#include "dictionary/dictcache.h"
#include "engine/btrv.h"

namespace btr {

namespace {

void Nothing() {}

// The units in initialisation order; later units build on earlier ones.
// Everything here is constant data without destructors: the unload hook may
// run after the library's other static objects are gone.
constexpr TPackageUnit kUnits[] = {
    {"btrtools", Nothing, Nothing},                       // tables are constants
    {"btrv", InitEngineUnit, FinalizeEngineUnit},         // client list, engine binding
    {"btrconst", Nothing, Nothing},
    {"btrset", InitDictCacheUnit, FinalizeDictCacheUnit}, // BDictList
    {"dictfile", Nothing, Nothing},                       // Types is constant data
    {"dictgrid", Nothing, Nothing},
};
constexpr const char* kRequires[] = {"rtl", "vcl", "dbrtl", "Rirevozavav"};
constexpr TPackageInfo kPackage = {kUnits, std::size(kUnits), kRequires, std::size(kRequires), false, false};

std::mutex gLock;
int gCounters[std::size(kUnits)] = {};

} // namespace

void Initialize() {
    std::lock_guard lock(gLock);
    for (size_t i = 0; i < kPackage.UnitCount; ++i)
        if (gCounters[i]-- == 0) kPackage.Units[i].Init();
}

void Finalize() {
    std::lock_guard lock(gLock);
    for (size_t i = kPackage.UnitCount; i-- > 0;)
        if (++gCounters[i] == 0) kPackage.Units[i].Finish();
}

const TPackageInfo& GetPackageInfoTable() { return kPackage; }

int UnitCounter(const std::string& unit) {
    std::lock_guard lock(gLock);
    for (size_t i = 0; i < kPackage.UnitCount; ++i)
        if (unit == kPackage.Units[i].Name) return gCounters[i];
    return 0;
}

namespace {
// The shared library's load and unload hooks stand in for the package loader.
__attribute__((constructor)) void OnLoad() { Initialize(); }
__attribute__((destructor)) void OnUnload() { Finalize(); }
} // namespace

} // namespace btr

extern "C" {
__attribute__((visibility("default"))) void btrkit_Initialize() { btr::Initialize(); }
__attribute__((visibility("default"))) void btrkit_Finalize() { btr::Finalize(); }
}
