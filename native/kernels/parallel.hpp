// Block-parallel loops whose results do not depend on the number of threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

namespace corvane::kernels {

// Runs body(begin, end) over [0, n) in blocks of kBlock, on up to `threads` threads. Blocks do
// not depend on the thread count, so bodies that write only their own indices (or their own
// block's slot) give the same result for any thread count.
constexpr std::size_t kBlock = 256;

template <typename Body>
void parallel_blocks(std::size_t n, int threads, const Body& body) {
    const std::size_t blocks = (n + kBlock - 1) / kBlock;
    const std::size_t nthreads = std::min<std::size_t>(threads > 1 ? threads : 1, blocks);
    if (nthreads <= 1) {
        for (std::size_t b = 0; b < blocks; ++b) body(b * kBlock, std::min(n, (b + 1) * kBlock));
        return;
    }
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (;;) {
            std::size_t b = next.fetch_add(1, std::memory_order_relaxed);
            if (b >= blocks) return;
            body(b * kBlock, std::min(n, (b + 1) * kBlock));
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(nthreads - 1);
    for (std::size_t t = 1; t < nthreads; ++t) {
        try {
            pool.emplace_back(worker);
        } catch (const std::system_error&) {
            break;  // no more threads to be had: the ones running share the blocks
        }
    }
    worker();
    for (auto& th : pool) th.join();
}

}  // namespace corvane::kernels
