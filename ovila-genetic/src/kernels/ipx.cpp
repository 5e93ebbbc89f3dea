#include "ovila/genetic/kernels/ipx.hpp"

#include <algorithm>
#include <unordered_set>

#include "ovila/core/error.hpp"

namespace ovila::genetic::kernels {

namespace {

constexpr const char* no_free_position = "IPX crossover has no free position left for a gene";

void check_lengths(std::size_t len1, std::span<const std::uint64_t> child1, std::span<const std::uint64_t> child2) {
    if (child1.size() != len1 || child2.size() != len1) {
        core::internal_error("IPX children must be as long as the first parent");
    }
}

// Fills the free positions of `child`, in order, with the values of `donor`
// not held yet.
void fill_reference(std::span<std::uint64_t> child, std::span<const std::uint64_t> donor, std::span<const Word> keep,
                    std::unordered_set<std::uint64_t>& held) {
    const std::size_t len = child.size();
    std::size_t cursor = 0;
    for (const std::uint64_t g : donor) {
        if (!held.insert(g).second) {
            continue;
        }
        while (cursor < len && test_bit(keep.data(), cursor)) {
            ++cursor;
        }
        if (cursor >= len) {
            core::internal_error(no_free_position);
        }
        child[cursor++] = g;
    }
}

}  // namespace

void ipx_fill_reference(std::span<const std::uint64_t> genes1, std::span<const std::uint64_t> genes2,
                        std::span<const Word> keep, std::span<std::uint64_t> child1, std::span<std::uint64_t> child2) {
    const std::size_t len1 = genes1.size();
    check_lengths(len1, child1, child2);
    std::fill(child1.begin(), child1.end(), 0);
    std::fill(child2.begin(), child2.end(), 0);
    std::unordered_set<std::uint64_t> held1;
    std::unordered_set<std::uint64_t> held2;
    held1.reserve(len1);
    held2.reserve(len1);
    for (std::size_t i = 0; i < len1; ++i) {
        if (test_bit(keep.data(), i)) {
            child1[i] = genes1[i];
            child2[i] = genes2[i];
            held1.insert(genes1[i]);
            held2.insert(genes2[i]);
        }
    }
    fill_reference(child1, genes2, keep, held1);
    fill_reference(child2, genes1, keep, held2);
}

void ipx_fill(std::span<const std::uint64_t> genes1, std::span<const std::uint64_t> genes2, std::span<const Word> keep,
              std::span<std::uint64_t> child1, std::span<std::uint64_t> child2, IpxScratch& scratch) {
    const std::size_t len1 = genes1.size();
    const std::size_t len2 = genes2.size();
    check_lengths(len1, child1, child2);

    // The OR of all genes bounds the largest from above (by less than a
    // factor 2); far above the length, flags would cost more than hash sets.
    std::uint64_t bound = 0;
    for (const std::uint64_t g : genes1) {
        bound |= g;
    }
    for (const std::uint64_t g : genes2) {
        bound |= g;
    }
    const std::uint64_t flat_limit = 4 * static_cast<std::uint64_t>(std::max(len1, len2)) + 4096;
    if (bound >= flat_limit) {
        ipx_fill_reference(genes1, genes2, keep, child1, child2);
        return;
    }
    const auto values = static_cast<std::size_t>(bound) + 1;
    scratch.held1.assign(values, 0);
    scratch.held2.assign(values, 0);
    scratch.free.resize(len1);
    scratch.fresh1.resize(len2);
    scratch.fresh2.resize(len1);
    // The children start as copies of their parents where both have genes,
    // 0 beyond.
    const std::size_t shared = std::min(len1, len2);
    std::copy_n(genes1.begin(), shared, child1.begin());
    std::copy_n(genes2.begin(), shared, child2.begin());
    std::fill(child1.begin() + static_cast<std::ptrdiff_t>(shared), child1.end(), 0);
    std::fill(child2.begin() + static_cast<std::ptrdiff_t>(shared), child2.end(), 0);
    std::uint32_t* const held1 = scratch.held1.data();
    std::uint32_t* const held2 = scratch.held2.data();
    std::size_t* const free = scratch.free.data();
    std::uint64_t* const out1 = child1.data();
    std::uint64_t* const out2 = child2.data();

    // Kept genes are marked held and the other positions listed as free,
    // walking the set bits of each mask word and of its complement.
    std::size_t free_count = 0;
    for (std::size_t base = 0; base < len1; base += 64) {
        const auto count = static_cast<unsigned>(std::min<std::size_t>(64, len1 - base));
        const Word mask = keep[base / 64];
        for (Word kept = mask; kept != 0; kept &= kept - 1) {
            const std::size_t i = base + static_cast<std::size_t>(std::countr_zero(kept));
            held1[genes1[i]] = 1;
            held2[genes2[i]] = 1;
        }
        const Word valid = count == 64 ? ~Word{0} : (Word{1} << count) - 1;
        for (Word open = ~mask & valid; open != 0; open &= open - 1) {
            free[free_count++] = base + static_cast<std::size_t>(std::countr_zero(open));
        }
    }

    // The donor's genes not held yet, in order, go to the free positions in
    // order.
    auto collect = [](std::span<const std::uint64_t> donor, std::uint32_t* held, std::uint64_t* fresh,
                      std::size_t& count) {
        for (const std::uint64_t g : donor) {
            fresh[count] = g;
            count += 1U - held[g];
            held[g] = 1;
        }
    };
    auto place = [&](std::uint64_t* out, const std::uint64_t* fresh, std::size_t fresh_count) {
        if (fresh_count > free_count) {
            core::internal_error(no_free_position);
        }
        for (std::size_t k = 0; k < fresh_count; ++k) {
            out[free[k]] = fresh[k];
        }
        for (std::size_t k = fresh_count; k < free_count; ++k) {
            out[free[k]] = 0;
        }
    };
    std::uint64_t* const fresh1 = scratch.fresh1.data();
    std::uint64_t* const fresh2 = scratch.fresh2.data();
    std::size_t count1 = 0;
    std::size_t count2 = 0;
    if (len1 == len2) {
        // Both donors walked together: two independent chains per step.
        for (std::size_t j = 0; j < len1; ++j) {
            const std::uint64_t a = genes2[j];
            const std::uint64_t b = genes1[j];
            fresh1[count1] = a;
            fresh2[count2] = b;
            count1 += 1U - held1[a];
            count2 += 1U - held2[b];
            held1[a] = 1;
            held2[b] = 1;
        }
        if (count1 == free_count && count2 == free_count) {
            // Both children take a gene at every free position (always so
            // when the parents are permutations of each other): one pass.
            for (std::size_t k = 0; k < free_count; ++k) {
                const std::size_t position = free[k];
                out1[position] = fresh1[k];
                out2[position] = fresh2[k];
            }
            return;
        }
    } else {
        collect(genes2, held1, fresh1, count1);
        collect(genes1, held2, fresh2, count2);
    }
    place(out1, fresh1, count1);
    place(out2, fresh2, count2);
}

}  // namespace ovila::genetic::kernels
