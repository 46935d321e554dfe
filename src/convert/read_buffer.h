#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace nivra {

/// Allocates like std::allocator, but leaves new elements as they are instead of
/// zeroing them: a buffer that a read is about to fill is grown without a pass over it.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}

  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

/// Bytes that are read into before they are used.
using ReadBuffer = std::vector<char, UninitializedAllocator<char>>;

}  // namespace nivra
