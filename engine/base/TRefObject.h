#pragma once
#include <atomic>
#include <cstdint>
#include <utility>

namespace pf {

// Base of the engine's objects shared between threads and owners. A new
// object starts with one reference; the last Release destroys it.
class TRefObject {
 public:
  virtual ~TRefObject() = default;
  TRefObject* AddRef() {
    count_.fetch_add(1, std::memory_order_relaxed);
    return this;
  }
  // Answers the remaining count; 0 means the object is gone.
  int Release() {
    const int left = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }
  int RefCount() const { return count_.load(std::memory_order_acquire); }

 protected:
  TRefObject() = default;
  TRefObject(const TRefObject&) = delete;
  TRefObject& operator=(const TRefObject&) = delete;

 private:
  std::atomic<int> count_{1};
};

// Holds one reference to a TRefObject-derived object.
template <typename T>
class RefPtr {
 public:
  RefPtr() = default;
  // Takes over the reference the caller holds (a new object's first one).
  static RefPtr Adopt(T* object) {
    RefPtr p;
    p.object_ = object;
    return p;
  }
  // Adds a reference of its own.
  static RefPtr Share(T* object) {
    if (object) object->AddRef();
    return Adopt(object);
  }
  template <typename... Args>
  static RefPtr Make(Args&&... args) {
    return Adopt(new T(std::forward<Args>(args)...));
  }
  ~RefPtr() { reset(); }
  RefPtr(const RefPtr& other) : object_(other.object_) {
    if (object_) object_->AddRef();
  }
  RefPtr(RefPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  RefPtr& operator=(RefPtr other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  void reset() {
    if (T* object = std::exchange(object_, nullptr)) object->Release();
  }
  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }
  bool operator==(const RefPtr& other) const { return object_ == other.object_; }

 private:
  T* object_ = nullptr;
};

}  // namespace pf
