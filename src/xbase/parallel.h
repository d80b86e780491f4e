#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "xbase/error.h"

namespace xbase {

// How many threads share `tasks` independent tasks on this machine.
inline std::size_t workerCount(std::size_t tasks) {
    std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    return std::max<std::size_t>(1, std::min<std::size_t>({cores, 8, tasks}));
}

// Starts a thread running `task` (tests replace it to make a start fail).
using ThreadStarter = std::function<std::thread(std::function<void()>)>;

// Runs work(w) for every w below `workers`, each on a thread of its own, and waits for all;
// the first exception a worker raised is raised again here. When a thread cannot be started,
// the ones already running are waited for and the failure is code::kIoError.
inline void runWorkers(std::size_t workers, const std::function<void(std::size_t)>& work,
                       const ThreadStarter& start = {}) {
    std::vector<std::exception_ptr> errors(workers);
    std::vector<std::thread> pool;
    try {
        for (std::size_t w = 0; w < workers; ++w) {
            std::function<void()> task = [&, w] {
                try {
                    work(w);
                } catch (...) {
                    errors[w] = std::current_exception();
                }
            };
            pool.push_back(start ? start(std::move(task)) : std::thread(std::move(task)));
        }
    } catch (const std::exception& e) {
        for (auto& t : pool)
            t.join();
        fail(code::kIoError, std::string("Cannot start a worker thread: ") + e.what());
    }
    for (auto& t : pool)
        t.join();
    for (auto& e : errors)
        if (e) std::rethrow_exception(e);
}

}  // namespace xbase
