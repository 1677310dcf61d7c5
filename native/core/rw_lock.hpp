// A readers-writer lock that lets a waiting writer in: once a writer waits, new
// readers wait behind it. The system's shared mutex lets readers in as long as
// any reader holds it, so a steady stream of searches would keep an add out
// for ever. Satisfies the standard Lockable and SharedLockable requirements.
//
// Locks survive fork. A child has only the thread that forked, so a lock held
// by any other thread at the fork would stay held in the child for ever (and
// what that thread was changing would be half-changed there). So every lock
// takes part in the fork: before it, the forking thread takes each one alone,
// waiting for the searches and changes under way in other threads to end (a
// graph build holds its collection's shared lock while it runs, and is waited
// for too); after it, the parent lets them go, and the child starts each lock
// afresh (its condition variables may still count waiters of the parent's
// threads). The forking thread must hold none of them itself.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace kestrix {

class ReadersWriterLock {
public:
    ReadersWriterLock();
    ~ReadersWriterLock();
    ReadersWriterLock(const ReadersWriterLock&) = delete;
    ReadersWriterLock& operator=(const ReadersWriterLock&) = delete;

    void lock_shared() {
        std::unique_lock guard(mutex_);
        readers_turn_.wait(guard, [this] { return !writer_ && writers_waiting_ == 0; });
        ++readers_;
    }

    // Never waits for the lock itself (the internal mutex is only held for a
    // few instructions by anyone).
    bool try_lock_shared() {
        std::unique_lock guard(mutex_, std::try_to_lock);
        if (!guard.owns_lock() || writer_ || writers_waiting_ != 0) return false;
        ++readers_;
        return true;
    }

    void unlock_shared() {
        std::lock_guard guard(mutex_);
        if (--readers_ == 0 && writers_waiting_ != 0) writers_turn_.notify_one();
    }

    void lock() {
        std::unique_lock guard(mutex_);
        ++writers_waiting_;
        writers_turn_.wait(guard, [this] { return !writer_ && readers_ == 0; });
        --writers_waiting_;
        writer_ = true;
    }

    void unlock() {
        std::lock_guard guard(mutex_);
        writer_ = false;
        if (writers_waiting_ != 0) {
            writers_turn_.notify_one();
        } else {
            readers_turn_.notify_all();
        }
    }

private:
    friend struct ForkedLocks;
    // In a forked child, where no thread holds or waits for it: unlocked, as new.
    void start_afresh() noexcept;

    std::mutex mutex_;
    std::condition_variable readers_turn_;
    std::condition_variable writers_turn_;
    std::size_t readers_ = 0;
    std::size_t writers_waiting_ = 0;
    bool writer_ = false;
    // Every lock of the process, for the fork (guarded by the list's mutex).
    ReadersWriterLock* previous_ = nullptr;
    ReadersWriterLock* next_ = nullptr;
};

}  // namespace kestrix
