#include <gtest/gtest.h>

#include "engine/btrfile.h"
#include "tools/registry.h"

namespace btr {
namespace {

TEST(Registry, PagesHoldTheirClassesOnce) {
    UnregisterAllComponents();
    btrfile::Register();
    btrfile::Register(); // installing twice adds nothing
    const auto page = RegisteredComponents("Btrieve");
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0].ClassName, "TBtrieveFile");
    TComponent owner;
    TComponent* made = page[0].Create(owner);
    EXPECT_NE(dynamic_cast<TBtrieveFile*>(made), nullptr);
    EXPECT_EQ(owner.Components(0), made); // the owner destroys it
    EXPECT_TRUE(RegisteredComponents("Other").empty());
    EXPECT_EQ(RegisteredPages(), std::vector<std::string>{"Btrieve"});
}

} // namespace
} // namespace btr
