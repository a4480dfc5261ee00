#include "engine/sink.hpp"

#include "engine/memory.hpp"

namespace orrery {

void MemorySink::grow(std::size_t n) {
    if (n > SIZE_MAX / 2 - size_) throw std::bad_alloc();
    std::size_t want = size_ + n;
    std::size_t cap = cap_ < 256 ? 256 : cap_;
    while (cap < want) cap *= 2;
    // Large blocks are mapped by the allocator, so growing them moves pages
    // instead of copying bytes, and untouched capacity costs no memory.
    auto* p = static_cast<char*>(std::realloc(data_, cap));
    if (p == nullptr) throw std::bad_alloc();
    data_ = p;
    cap_ = cap;
    advise_sequential_fill(data_, cap_);
}

}  // namespace orrery
