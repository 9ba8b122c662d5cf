#include "tools/registry.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "dataset/btrset.h"
#include "engine/btrfile.h"

namespace btr {

namespace {

struct Registry {
    std::mutex lock;
    std::map<std::string, std::vector<TComponentClass>> pages;
};

Registry& Components() {
    static Registry registry;
    return registry;
}

} // namespace

void RegisterComponents(const std::string& Page, const std::vector<TComponentClass>& Classes) {
    Registry& r = Components();
    std::lock_guard guard(r.lock);
    auto& page = r.pages[Page];
    for (const TComponentClass& c : Classes)
        if (std::none_of(page.begin(), page.end(), [&](const TComponentClass& p) { return p.ClassName == c.ClassName; }))
            page.push_back(c);
}

std::vector<TComponentClass> RegisteredComponents(const std::string& Page) {
    Registry& r = Components();
    std::lock_guard guard(r.lock);
    auto it = r.pages.find(Page);
    return it == r.pages.end() ? std::vector<TComponentClass>{} : it->second;
}

std::vector<std::string> RegisteredPages() {
    Registry& r = Components();
    std::lock_guard guard(r.lock);
    std::vector<std::string> names;
    for (const auto& [name, classes] : r.pages) names.push_back(name);
    return names;
}

void UnregisterAllComponents() {
    Registry& r = Components();
    std::lock_guard guard(r.lock);
    r.pages.clear();
}

void btrfile::Register() {
    RegisterComponents(kPalettePage, {{"TBtrieveFile", [](TComponent& owner) -> TComponent* {
                                           return new TBtrieveFile(&owner);
                                       }}});
}

void btrset::Register() {
    RegisterComponents(kPalettePage, {{"TBDataSet", [](TComponent& owner) -> TComponent* {
                                           return new TBDataSet(&owner);
                                       }}});
}

} // namespace btr
