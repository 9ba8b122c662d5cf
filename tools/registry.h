// The component registry: what a design environment puts on its palette.
// Each unit that has a component registers it with RegisterComponents from
// its Register operation.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/component.h"

namespace btr {

struct TComponentClass {
    std::string ClassName;
    // Makes a component owned by Owner, which destroys it.
    std::function<TComponent*(TComponent& Owner)> Create;
};

// Adds classes to a palette page; a class already on the page is not added
// twice.
void RegisterComponents(const std::string& Page, const std::vector<TComponentClass>& Classes);
// The classes on a page, in the order they were registered.
std::vector<TComponentClass> RegisteredComponents(const std::string& Page);
std::vector<std::string> RegisteredPages();
void UnregisterAllComponents();

// The palette page of the library's components.
inline const std::string kPalettePage = "Btrieve";

// The engine-access unit registers TBtrieveFile.
namespace btrfile {
void Register();
}

// The dataset unit registers TBDataSet.
namespace btrset {
void Register();
}

} // namespace btr
