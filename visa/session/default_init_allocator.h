// An allocator whose value-less construct() default-initialises: resize() of
// a std::vector of bytes then leaves the new bytes as they are instead of
// zeroing them. For buffers that a read fills and that are cut back to what
// it brought, so that a large read buffer costs nothing per read.
#pragma once

#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace sgvisa {

template <typename T, typename Base = std::allocator<T>>
class DefaultInitAllocator : public Base {
  public:
    template <typename U>
    struct rebind {
        using other =
            DefaultInitAllocator<U, typename std::allocator_traits<Base>::template rebind_alloc<U>>;
    };

    using Base::Base;

    template <typename U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        std::allocator_traits<Base>::construct(static_cast<Base&>(*this), p,
                                               std::forward<Args>(args)...);
    }
};

}  // namespace sgvisa
