#include "ovila/genetic/gene_storage.hpp"

#include <array>
#include <new>

namespace ovila::genetic {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool under_address_sanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool under_address_sanitizer = true;
#else
constexpr bool under_address_sanitizer = false;
#endif
#else
constexpr bool under_address_sanitizer = false;
#endif

// Released buffers of one length. The addresses are kept apart from the
// buffers, so that neither keeping nor handing out a buffer touches its
// (by then usually cold) memory.
struct Shelf {
    std::size_t length = 0;
    std::vector<void*> buffers;
};

// Set when the thread's shelves are destroyed at its exit: gene buffers
// released after that (by thread-local objects destroyed later) go straight
// back to malloc. Trivially destructible, so it can be read until the end.
thread_local bool shelves_gone = false;

class GeneShelves {
public:
    GeneShelves() = default;
    GeneShelves(const GeneShelves&) = delete;
    GeneShelves& operator=(const GeneShelves&) = delete;
    ~GeneShelves() {
        release();
        shelves_gone = true;
    }

    void* take(std::size_t length) noexcept {
        for (Shelf& shelf : shelves_) {
            if (shelf.length == length && !shelf.buffers.empty()) {
                void* p = shelf.buffers.back();
                shelf.buffers.pop_back();
                bytes_ -= length * sizeof(Gene);
                return p;
            }
        }
        return nullptr;
    }

    bool keep(void* p, std::size_t length) noexcept {
        const std::size_t size = length * sizeof(Gene);
        if (length < GeneAllocator::min_kept_length || size > GeneAllocator::retained_limit - bytes_) {
            return false;
        }
        Shelf* target = nullptr;
        for (Shelf& shelf : shelves_) {
            if (shelf.length == length) {
                target = &shelf;
                break;
            }
            if (target == nullptr && shelf.buffers.empty()) {
                target = &shelf;
            }
        }
        if (target == nullptr) {
            return false;
        }
        try {
            target->buffers.push_back(p);
        } catch (const std::bad_alloc&) {
            return false;
        }
        target->length = length;
        bytes_ += size;
        return true;
    }

    std::size_t bytes() const noexcept { return bytes_; }

    void release() noexcept {
        for (Shelf& shelf : shelves_) {
            for (void* p : shelf.buffers) {
                ::operator delete(p, shelf.length * sizeof(Gene));
            }
            shelf.buffers = {};
        }
        bytes_ = 0;
    }

private:
    std::array<Shelf, 4> shelves_{};
    std::size_t bytes_ = 0;
};

// The calling thread's shelves; null once they are destroyed, and in builds
// that keep nothing. Not inlined: the thread-local address is then looked up
// once per call instead of once per use.
[[gnu::noinline]] GeneShelves* shelves() noexcept {
    if (under_address_sanitizer || shelves_gone) {
        return nullptr;
    }
    thread_local GeneShelves kept;
    return &kept;
}

}  // namespace

Gene* GeneAllocator::allocate(std::size_t n) {
    if (n > std::size_t(-1) / sizeof(Gene)) {
        throw std::bad_array_new_length();
    }
    if (GeneShelves* kept = shelves()) {
        if (void* p = kept->take(n)) {
            return static_cast<Gene*>(p);
        }
    }
    return static_cast<Gene*>(::operator new(n * sizeof(Gene)));
}

void GeneAllocator::deallocate(Gene* p, std::size_t n) noexcept {
    if (GeneShelves* kept = shelves(); kept != nullptr && kept->keep(p, n)) {
        return;
    }
    ::operator delete(p, n * sizeof(Gene));
}

std::size_t GeneAllocator::retained() noexcept {
    const GeneShelves* kept = shelves();
    return kept != nullptr ? kept->bytes() : 0;
}

void GeneAllocator::release_retained() noexcept {
    if (GeneShelves* kept = shelves()) {
        kept->release();
    }
}

bool GeneAllocator::keeps_released() noexcept { return !under_address_sanitizer; }

}  // namespace ovila::genetic
