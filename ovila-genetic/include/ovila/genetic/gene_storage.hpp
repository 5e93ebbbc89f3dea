// Storage of gene sequences: the allocator of `Genes` and the per-thread
// shelves of released buffers behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace ovila::genetic {

using Gene = std::uint64_t;

// Storage of gene sequences. A run keeps every generation it makes, so each
// run asks for thousands of buffers of one length and releases them together
// when its lineage goes. Released buffers are kept by the releasing thread
// (up to `GeneAllocator::retained_limit` bytes, only for the lengths most
// recently released) and handed out again for requests of the same length,
// so that consecutive runs reuse memory the process already has instead of
// returning it to the system and faulting it back in page by page.
struct GeneAllocator {
    using value_type = Gene;
    template <class U>
    struct rebind {
        static_assert(std::is_same_v<U, Gene>, "gene storage holds genes only");
        using other = GeneAllocator;
    };

    static constexpr std::size_t retained_limit = std::size_t{32} << 20;
    // Shorter buffers come and go cheaply through malloc.
    static constexpr std::size_t min_kept_length = 32;
    // Whether released buffers are kept (not in builds with AddressSanitizer,
    // which must see every release).
    static bool keeps_released() noexcept;

    GeneAllocator() noexcept = default;

    Gene* allocate(std::size_t n);
    void deallocate(Gene* p, std::size_t n) noexcept;

    // Bytes currently kept by the calling thread, and releases them all.
    static std::size_t retained() noexcept;
    static void release_retained() noexcept;

    friend bool operator==(GeneAllocator, GeneAllocator) noexcept { return true; }
};

using Genes = std::vector<Gene, GeneAllocator>;

}  // namespace ovila::genetic
