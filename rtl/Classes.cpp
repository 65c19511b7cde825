#include "rtl/Classes.h"

#include <algorithm>

TComponent::TComponent(TComponent* AOwner) : owner_(AOwner)
{
    if (owner_)
        owner_->owned_.push_back(this);
}

TComponent::~TComponent()
{
    // Children first, newest first; each removes itself from our list.
    while (!owned_.empty())
        delete owned_.back();
    if (owner_) {
        auto& siblings = owner_->owned_;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
}
