// A process-wide object that is built on first use and never destroyed.
#pragma once

#include <new>
#include <utility>

namespace refwarden {

// Holds a T in its own static storage and never runs T's destructor, so that
// callers late at exit (other objects' destructors, threads still running)
// always find it alive, and an unloaded library takes the storage along
// instead of leaking a heap block. Declare it as a function-local static.
template <class T>
class NoDestructor {
 public:
  template <class... Args>
  explicit NoDestructor(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }
  T& operator*() { return *get(); }
  T* operator->() { return get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace refwarden
