#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/component.h"

namespace btr {
namespace {

struct Tracked : TComponent {
    Tracked(TComponent* owner, std::vector<std::string>& log, std::string name)
        : TComponent(owner), FLog(log) {
        SetName(name);
    }
    ~Tracked() override { FLog.push_back("~" + Name()); }

    TComponent* Watched = nullptr;

protected:
    void Notification(TComponent* c, TOperation op) override {
        if (op == TOperation::opRemove && c == Watched) Watched = nullptr;
    }

private:
    std::vector<std::string>& FLog;
};

TEST(Component, OwnerDestroysItsChildrenOnce) {
    std::vector<std::string> log;
    {
        auto owner = std::make_unique<Tracked>(nullptr, log, "owner");
        new Tracked(owner.get(), log, "a");
        auto* b = new Tracked(owner.get(), log, "b");
        EXPECT_EQ(owner->ComponentCount(), 2);
        EXPECT_EQ(owner->FindComponent("B"), b);
        delete b; // a child destroyed alone leaves its owner's list
        EXPECT_EQ(owner->ComponentCount(), 1);
    }
    EXPECT_EQ(log, (std::vector<std::string>{"~b", "~owner", "~a"}));
}

TEST(Component, FreeNotificationClearsReferences) {
    std::vector<std::string> log;
    Tracked watcher(nullptr, log, "w");
    auto target = std::make_unique<Tracked>(nullptr, log, "t");
    watcher.Watched = target.get();
    target->FreeNotification(&watcher);
    target.reset();
    EXPECT_EQ(watcher.Watched, nullptr);
}

TEST(Component, ReparentingMovesOwnership) {
    std::vector<std::string> log;
    Tracked first(nullptr, log, "first");
    auto second = std::make_unique<Tracked>(nullptr, log, "second");
    auto* child = new Tracked(&first, log, "child");
    second->InsertComponent(child);
    EXPECT_EQ(first.ComponentCount(), 0);
    EXPECT_EQ(child->Owner(), second.get());
    second.reset();
    EXPECT_EQ(log.front(), "~second");
    EXPECT_EQ(log.back(), "~child");
}

} // namespace
} // namespace btr
