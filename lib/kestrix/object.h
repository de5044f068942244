// Objects and references: the intrusive reference counting every shared object
// of the system uses.
//
// Interfaces derive virtually from `Kestrix::Object`; implementations derive from
// the interface and from `Kestrix::ObjectImpl`, which holds the count. Shared
// objects are passed as `Kestrix::Ref<T>`. Use a plain value or std::unique_ptr
// for anything that is not shared across components.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

namespace Kestrix {

/// Object is the root of every reference-counted interface. It has four virtual
/// operations: the destructor, `IncRef`, `DecRef` and `ToString`.
class Object {
public:
  virtual ~Object() = default;
  /// IncRef adds one reference.
  virtual void IncRef() const = 0;
  /// DecRef drops one reference; the last one destroys the object.
  virtual void DecRef() const = 0;
  /// ToString describes the object for logs (type name and address by default).
  virtual std::string ToString() const = 0;
};

/// ObjectImpl holds the count inside the object (intrusive), so a raw pointer
/// can always be turned back into a counted reference. A new object starts at
/// 0; the first Ref takes it to 1.
class ObjectImpl : public virtual Object {
public:
  ObjectImpl() = default;
  ObjectImpl(const ObjectImpl&) : Object() {}
  ObjectImpl& operator=(const ObjectImpl&) { return *this; }

  // Object
  // Adding a reference needs no ordering: whoever adds one already holds one.
  void IncRef() const override { refs_.fetch_add(1, std::memory_order_relaxed); }
  // The last release must see every write made through other references.
  void DecRef() const override {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  std::string ToString() const override;

  /// RefCount is the current count, for tests and diagnostics only.
  int32_t RefCount() const { return refs_.load(std::memory_order_relaxed); }

private:
  mutable std::atomic<int32_t> refs_{0};
};

/// Ref is the counted reference to an Object-derived T. An empty Ref holds no
/// object. Copying adds a reference, moving transfers it.
template <class T>
class Ref {
public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  /// Takes a new reference to p (which may already be counted elsewhere).
  explicit Ref(T* p) noexcept : p_(p) { if (p_) p_->IncRef(); }
  Ref(const Ref& o) noexcept : p_(o.p_) { if (p_) p_->IncRef(); }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  Ref(const Ref<U>& o) noexcept : p_(o.Get()) { if (p_) p_->IncRef(); }
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  Ref(Ref<U>&& o) noexcept : p_(o.Release()) {}
  ~Ref() { if (p_) p_->DecRef(); }

  Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }

  T* Get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void Reset() noexcept { Ref().swap(*this); }
  void swap(Ref& o) noexcept { std::swap(p_, o.p_); }
  /// Release gives up the reference without dropping it; the caller owns it.
  T* Release() noexcept { T* p = p_; p_ = nullptr; return p; }

  friend bool operator==(const Ref& a, const Ref& b) { return a.p_ == b.p_; }
  friend bool operator!=(const Ref& a, const Ref& b) { return a.p_ != b.p_; }
  friend bool operator<(const Ref& a, const Ref& b) { return a.p_ < b.p_; }
  friend bool operator==(const Ref& a, std::nullptr_t) { return a.p_ == nullptr; }
  friend bool operator!=(const Ref& a, std::nullptr_t) { return a.p_ != nullptr; }

private:
  T* p_ = nullptr;
};

/// MakeRef constructs a T and returns the first reference to it.
template <class T, class... Args>
Ref<T> MakeRef(Args&&... args) {
  return Ref<T>(new T(std::forward<Args>(args)...));
}

/// RefCast converts between related reference types (dynamic_cast); empty when
/// the object is not a U.
template <class U, class T>
Ref<U> RefCast(const Ref<T>& r) {
  return Ref<U>(dynamic_cast<U*>(r.Get()));
}

}  // namespace Kestrix
