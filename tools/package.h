// The library's start and stop: its units initialise in a fixed order when
// it is loaded and finalise in reverse when it is unloaded. Each unit counts
// its initialisations, so its work runs once however often it is asked.
#pragma once

#include <string>
#include <vector>

namespace btr {

// Runs every unit's initialisation, in order.
void Initialize();
// Runs every unit's finalisation, in reverse order.
void Finalize();

struct TPackageUnit {
    const char* Name;
    void (*Init)();   // does the unit's work when its counter was 0
    void (*Finish)(); // does it when the counter comes back to 0
};

struct TPackageInfo {
    const TPackageUnit* Units; // in initialisation order
    size_t UnitCount;
    const char* const* Requires;
    size_t RequiresCount;
    bool DesignOnly;
    bool RunOnly;
};

const TPackageInfo& GetPackageInfoTable();
// A unit's counter: 0 when loaded, negative while initialised.
int UnitCounter(const std::string& unit);

} // namespace btr

extern "C" {
void btrkit_Initialize();
void btrkit_Finalize();
}
