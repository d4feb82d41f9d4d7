// A minimal component: an owner, an ordered list of owned components (freed with it, last
// first), a name and a tag, plus the hooks that component text streaming uses.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "excpack/component_text.h"

namespace ostrel::excpack {

class TComponent {
 public:
  TComponent() = default;
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  virtual std::string_view ClassName() const = 0;

  TComponent* Owner() const { return owner_; }
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  /// The owned component at index, or nullptr outside the list.
  TComponent* Components(int index) const;

  /// Takes ownership of a component (appended to the owned list).
  TComponent* InsertComponent(std::unique_ptr<TComponent> component);
  /// Gives up ownership; nullptr when the component is not owned here.
  std::unique_ptr<TComponent> RemoveComponent(TComponent* component);

  template <typename T>
  T* CreateOwned() {
    auto p = std::make_unique<T>();
    T* raw = p.get();
    InsertComponent(std::move(p));
    return raw;
  }

  std::string Name;
  int Tag = 0;

  // --- streaming hooks ------------------------------------------------------------------
  /// Appends this component's property lines, in declaration order.
  virtual void WriteProperties(std::vector<TextProperty>& props);
  /// Takes one property read from text; false when the name or value does not fit (the
  /// reader then skips it).
  virtual bool ReadProperty(const TextProperty& prop);
  /// Whether owned components stream as nested objects.
  virtual bool StreamsChildren() const { return false; }

 protected:
  enum class TOperation { opInsert, opRemove };
  /// Called after a component joined or left the owned list (not while this component is
  /// being destroyed), so that a class can keep an index of its children up to date.
  virtual void Notification(TComponent* component, TOperation operation);

 private:
  TComponent* owner_ = nullptr;
  std::vector<std::unique_ptr<TComponent>> components_;
};

}  // namespace ostrel::excpack
