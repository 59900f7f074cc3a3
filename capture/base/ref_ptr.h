// An owning reference to an intrusively counted object (one with AddRef and
// Release). Copying takes a reference, destroying releases it.
//
// Thread safety: as the object's AddRef/Release (interlocked in this code).
#pragma once

#include <utility>

namespace capture {

template <typename T>
class RefPtr {
 public:
  RefPtr() = default;
  RefPtr(std::nullptr_t) {}
  // Takes a new reference to `object`.
  explicit RefPtr(T* object) : object_(object) {
    if (object_ != nullptr) object_->AddRef();
  }
  RefPtr(const RefPtr& other) : RefPtr(other.object_) {}
  RefPtr(RefPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  ~RefPtr() { reset(); }

  RefPtr& operator=(const RefPtr& other) {
    RefPtr copy(other);
    std::swap(object_, copy.object_);
    return *this;
  }
  RefPtr& operator=(RefPtr&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }

  // Adopts a reference the caller already holds (no AddRef).
  static RefPtr Adopt(T* object) {
    RefPtr result;
    result.object_ = object;
    return result;
  }

  void reset() {
    if (T* object = std::exchange(object_, nullptr)) object->Release();
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }
  friend bool operator==(const RefPtr& ref, std::nullptr_t) { return ref.object_ == nullptr; }

 private:
  T* object_ = nullptr;
};

}  // namespace capture
