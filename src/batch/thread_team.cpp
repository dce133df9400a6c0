#include "batch/thread_team.hpp"

#include <algorithm>
#include <system_error>

#include <unistd.h>

namespace murkplay::batch {

namespace {

std::int64_t this_process() { return static_cast<std::int64_t>(::getpid()); }

}  // namespace

ThreadTeam::~ThreadTeam() {
    if (owner_ != this_process()) {
        let_go();
        return;
    }
    leaving_ = true;
    round_.fetch_add(1);
    round_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

// Threads of another process cannot be joined or even destroyed here; their handles are
// left behind on purpose.
void ThreadTeam::let_go() {
    if (!workers_.empty()) new std::vector<std::thread>(std::move(workers_));
    workers_.clear();
}

std::size_t ThreadTeam::reserve(std::size_t parts) {
    if (owner_ != this_process()) {
        let_go();
        owner_ = this_process();
    }
    while (workers_.size() + 1 < parts) {
        try {
            workers_.emplace_back([this, index = workers_.size(), round = round_.load()] { work(index, round); });
        } catch (const std::system_error&) {
            break;
        }
    }
    return std::min(parts, workers_.size() + 1);
}

void ThreadTeam::work(std::size_t index, std::uint32_t round) {
    for (;;) {
        round_.wait(round);
        round = round_.load();
        if (leaving_) return;
        if (index + 1 < parts_) {
            try {
                (*job_)(index + 1);
            } catch (...) {
                const std::lock_guard lock(failure_lock_);
                if (!failure_) failure_ = std::current_exception();
            }
        }
        if (busy_.fetch_sub(1) == 1) busy_.notify_one();
    }
}

void ThreadTeam::run(std::size_t parts, const std::function<void(std::size_t)>& job) {
    if (parts <= 1) {
        job(0);
        return;
    }
    job_ = &job;
    parts_ = parts;
    failure_ = nullptr;
    // Every worker answers each round, those without a part too.
    busy_.store(workers_.size());
    round_.fetch_add(1);
    round_.notify_all();
    std::exception_ptr own;
    try {
        job(0);
    } catch (...) {
        own = std::current_exception();
    }
    for (std::size_t left = busy_.load(); left != 0; left = busy_.load()) busy_.wait(left);
    if (own) std::rethrow_exception(own);
    if (failure_) std::rethrow_exception(failure_);
}

}  // namespace murkplay::batch
