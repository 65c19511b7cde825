// Object and component base of the runtime.
#pragma once

#include <functional>
#include <string>
#include <vector>

class TObject {
public:
    virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// A non-visual component: it has an owner that destroys it with itself.
// Components created with an owner must be heap objects; the owner deletes
// them in its destructor unless they were deleted first.
class TComponent : public TObject {
public:
    enum State : unsigned { csLoading = 1, csDesigning = 2 };

    explicit TComponent(TComponent* AOwner = nullptr);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }
    unsigned ComponentState() const { return state_; }
    void SetComponentState(unsigned state) { state_ = state; }
    bool Designing() const { return (state_ & csDesigning) != 0; }

    // Called once the component's design-time properties are in place.
    virtual void Loaded() { state_ &= ~static_cast<unsigned>(csLoading); }

    std::string Name;

private:
    TComponent* owner_;
    std::vector<TComponent*> owned_;
    unsigned state_ = 0;
};
