#include "rw_lock.hpp"

#include <new>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace kestrix {

// The locks of the process and the fork handlers that take them.
struct ForkedLocks {
    // Never destroyed: a lock may outlive static destruction at exit (one
    // held by a thread the interpreter does not wait for).
    static ForkedLocks& all() noexcept {
        static ForkedLocks* const locks = new ForkedLocks();
        return *locks;
    }

    void add(ReadersWriterLock& lock) {
        std::lock_guard guard(mutex);
#if !defined(_WIN32)
        if (!handlers_installed) {
            // Handlers are kept for the life of the process; failing to
            // install them leaves locks as they were before (a child may hang).
            handlers_installed = ::pthread_atfork(prepare, parent, child) == 0;
        }
#endif
        lock.next_ = first;
        if (first != nullptr) first->previous_ = &lock;
        first = &lock;
    }

    void remove(ReadersWriterLock& lock) noexcept {
        std::lock_guard guard(mutex);
        if (lock.previous_ != nullptr) lock.previous_->next_ = lock.next_;
        if (lock.next_ != nullptr) lock.next_->previous_ = lock.previous_;
        if (first == &lock) first = lock.next_;
        lock.previous_ = lock.next_ = nullptr;
    }

    // Before a fork: every lock taken alone, in list order, the list held so
    // that none comes or goes meanwhile. No thread waits for two of them at
    // once, so taking them one after another cannot deadlock.
    static void prepare() noexcept {
        ForkedLocks& locks = all();
        locks.mutex.lock();
        for (ReadersWriterLock* lock = locks.first; lock != nullptr; lock = lock->next_) lock->lock();
    }

    static void parent() noexcept {
        ForkedLocks& locks = all();
        for (ReadersWriterLock* lock = locks.first; lock != nullptr; lock = lock->next_) lock->unlock();
        locks.mutex.unlock();
    }

    static void child() noexcept {
        ForkedLocks& locks = all();
        for (ReadersWriterLock* lock = locks.first; lock != nullptr; lock = lock->next_) lock->start_afresh();
        locks.mutex.unlock();  // taken by this very thread in prepare()
    }

    std::mutex mutex;
    ReadersWriterLock* first = nullptr;
    bool handlers_installed = false;
};

ReadersWriterLock::ReadersWriterLock() { ForkedLocks::all().add(*this); }

ReadersWriterLock::~ReadersWriterLock() { ForkedLocks::all().remove(*this); }

void ReadersWriterLock::start_afresh() noexcept {
    // Built again over the old ones, never destroyed: destroying a condition
    // variable that counts waiters of the parent's threads would wait for
    // them for ever, and none of them holds anything of the child's.
    ::new (static_cast<void*>(&mutex_)) std::mutex();
    ::new (static_cast<void*>(&readers_turn_)) std::condition_variable();
    ::new (static_cast<void*>(&writers_turn_)) std::condition_variable();
    readers_ = 0;
    writers_waiting_ = 0;
    writer_ = false;
}

}  // namespace kestrix
