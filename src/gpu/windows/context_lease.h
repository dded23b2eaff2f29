// Two context slots shared by every Direct3D entry point. A frame leases a slot for its
// whole run: slot 0 when free, else slot 1, waiting while both are busy. While leased,
// the slot's context is the calling thread's current one, so every helper the entry point
// reaches works on it; the lease restores the thread's previous context when it ends.
// Device work itself is serialised separately by one work mutex (workMutex()).
#pragma once

#include <condition_variable>
#include <mutex>

namespace raydrift::d3d11 {

template <class Context>
class ContextSlots {
public:
    // The calling thread's current context: its lease's, or null outside any lease.
    static Context*& current() {
        thread_local Context* context = nullptr;
        return context;
    }

    // Holds one slot from construction to destruction. `open(slot)` returns that slot's
    // context (creating it on first use); when it throws, the slot is given back.
    class Lease {
    public:
        template <class Open>
        Lease(ContextSlots& slots, Open&& open) : slots_(slots), saved_(current()) {
            slot_ = slots_.take();
            try {
                current() = open(slot_);
            } catch (...) {
                slots_.give(slot_);
                throw;
            }
        }
        ~Lease() {
            current() = saved_;
            slots_.give(slot_);
        }
        Lease(Lease const&) = delete;
        Lease& operator=(Lease const&) = delete;
        int slot() const { return slot_; }

    private:
        ContextSlots& slots_;
        Context* saved_;
        int slot_ = 0;
    };

    // Waits until no slot is leased and runs `f` with the lease mutex held, so that no
    // frame starts meanwhile (shutdown: destroy the contexts).
    template <class F>
    void whenIdle(F&& f) {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [&] { return !busy_[0] && !busy_[1]; });
        f();
    }

private:
    int take() {
        std::unique_lock<std::mutex> lock(mutex_);
        freed_.wait(lock, [&] { return !busy_[0] || !busy_[1]; });
        const int slot = busy_[0] ? 1 : 0;
        busy_[slot] = true;
        return slot;
    }
    void give(int slot) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            busy_[slot] = false;
        }
        freed_.notify_one();
        idle_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable freed_;
    std::condition_variable idle_;
    bool busy_[2] = {false, false};
};

}  // namespace raydrift::d3d11
