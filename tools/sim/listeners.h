// A list of callbacks that any thread may call while others add and remove entries. Callbacks
// run without the list's lock, so they may call back into their owner (and add or remove
// entries); once Remove() returns, the removed callback is no longer running and is not called
// again, except when Remove() is called from a callback of this list.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace orn::sim {

template <typename... Args>
class Listeners {
  public:
    using Callback = std::function<void(Args...)>;

    int Add(Callback callback) {
        std::lock_guard<std::mutex> lock(mutex_);
        const int id = ++lastId_;
        entries_[id] = std::make_shared<Callback>(std::move(callback));
        return id;
    }

    void Remove(int id) {
        std::unique_lock<std::mutex> lock(mutex_);
        entries_.erase(id);
        // Wait out calls in progress on other threads, which may still hold the callback.
        idle_.wait(lock, [&] {
            for (const auto& [thread, count] : calling_)
                if (thread != std::this_thread::get_id() && count > 0) return false;
            return true;
        });
    }

    bool Empty() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_.empty();
    }

    void Call(Args... args) {
        std::vector<std::pair<int, std::shared_ptr<Callback>>> now;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (entries_.empty()) return;
            now.assign(entries_.begin(), entries_.end());
            ++calling_[std::this_thread::get_id()];
        }
        for (const auto& [id, callback] : now) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!entries_.count(id)) continue;  // removed by an earlier callback
            }
            (*callback)(args...);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (--calling_[std::this_thread::get_id()] == 0)
                calling_.erase(std::this_thread::get_id());
        }
        idle_.notify_all();
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::map<int, std::shared_ptr<Callback>> entries_;
    std::map<std::thread::id, int> calling_;
    int lastId_ = 0;
};

}  // namespace orn::sim
