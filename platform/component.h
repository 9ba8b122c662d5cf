// The component base: a component may have an owner, which destroys it, and a
// name. Components that refer to each other without owning ask for a free
// notification and forget the other one in Notification(opRemove).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace btr {

enum class TOperation { opInsert, opRemove };

class TComponent {
public:
    explicit TComponent(TComponent* AOwner = nullptr);
    virtual ~TComponent();

    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return FOwner; }
    const std::string& Name() const { return FName; }
    virtual void SetName(std::string_view value) { FName = value; }

    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int index) const;
    TComponent* FindComponent(std::string_view name) const;

    // Ownership changes; the owner destroys what it holds, last added first.
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);

    // Asks that `component` be told (Notification with opRemove) when this
    // one is destroyed, and the other way round.
    void FreeNotification(TComponent* component);
    void RemoveFreeNotification(TComponent* component);

    // True from the start of destruction; lets a component skip work that
    // would touch half-destroyed state.
    bool Destroying() const { return FDestroying; }

protected:
    virtual void Notification(TComponent* component, TOperation operation);
    // A derived destructor whose owned components use its own members calls
    // these first, so that the children go while those members still live.
    void BeginDestroy() { FDestroying = true; }
    void DestroyComponents();

private:
    TComponent* FOwner = nullptr;
    std::string FName;
    std::vector<TComponent*> FComponents;
    std::vector<TComponent*> FFreeNotifies;
    bool FDestroying = false;
};

} // namespace btr
