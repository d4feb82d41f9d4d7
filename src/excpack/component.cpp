#include "excpack/component.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iterator>

namespace ostrel::excpack {

TComponent::~TComponent() {
  while (!components_.empty()) components_.pop_back();
}

TComponent* TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount()) return nullptr;
  return components_[std::size_t(index)].get();
}

TComponent* TComponent::InsertComponent(std::unique_ptr<TComponent> component) {
  if (!component) return nullptr;
  component->owner_ = this;
  components_.push_back(std::move(component));
  TComponent* inserted = components_.back().get();
  Notification(inserted, TOperation::opInsert);
  return inserted;
}

std::unique_ptr<TComponent> TComponent::RemoveComponent(TComponent* component) {
  // Searched from the end: owners free their children last first, which then costs nothing.
  auto it = std::find_if(components_.rbegin(), components_.rend(),
                         [component](const auto& p) { return p.get() == component; });
  if (it == components_.rend()) return nullptr;
  std::unique_ptr<TComponent> out = std::move(*it);
  components_.erase(std::next(it).base());
  out->owner_ = nullptr;
  Notification(out.get(), TOperation::opRemove);
  return out;
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::WriteProperties(std::vector<TextProperty>&) {}

namespace {

// A component name must be an identifier, or it could not stand on the "object" line.
bool validName(const std::string& name) {
  if (name.empty()) return true;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (!(std::isalpha(c) || c == '_' || (i > 0 && std::isdigit(c)))) return false;
  }
  return true;
}

}  // namespace

bool TComponent::ReadProperty(const TextProperty& prop) {
  if (prop.name == "Name" && prop.value.kind == TextValue::Kind::String &&
      validName(prop.value.text)) {
    Name = prop.value.text;
    return true;
  }
  if (prop.name == "Tag" && prop.value.kind == TextValue::Kind::Integer &&
      prop.value.integer >= INT32_MIN && prop.value.integer <= INT32_MAX) {
    Tag = static_cast<int>(prop.value.integer);
    return true;
  }
  return false;
}

}  // namespace ostrel::excpack
