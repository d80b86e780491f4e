#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <functional>
#include <thread>
#include <vector>

namespace xbase {

// How many threads share `tasks` independent tasks on this machine.
inline std::size_t workerCount(std::size_t tasks) {
    std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    return std::max<std::size_t>(1, std::min<std::size_t>({cores, 8, tasks}));
}

// Runs work(w) for every w below `workers`, each on a thread of its own, and waits for all;
// the first exception a worker raised is raised again here.
inline void runWorkers(std::size_t workers, const std::function<void(std::size_t)>& work) {
    std::vector<std::exception_ptr> errors(workers);
    std::vector<std::thread> pool;
    for (std::size_t w = 0; w < workers; ++w)
        pool.emplace_back([&, w] {
            try {
                work(w);
            } catch (...) {
                errors[w] = std::current_exception();
            }
        });
    for (auto& t : pool)
        t.join();
    for (auto& e : errors)
        if (e) std::rethrow_exception(e);
}

}  // namespace xbase
