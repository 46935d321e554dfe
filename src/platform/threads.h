#pragma once

// The little that files converted side by side need of the system's threads. Each
// platform implements it once: the C++ library's threads on POSIX, the system's own on
// Windows, whose 32-bit compiler offers no std::thread.

#include <functional>
#include <memory>

namespace nivra {

/// The processors this process may run on (its affinity mask); at least 1.
unsigned processors();

/// A mutual exclusion lock, not recursive.
class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock();
  void unlock();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// Holds a Mutex for its scope.
class Lock {
 public:
  explicit Lock(Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }
  ~Lock() { mutex_.unlock(); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  Mutex& mutex_;
};

/// A count of permits: post() adds one, wait() takes one, waiting while there is none.
class Semaphore {
 public:
  Semaphore();
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;
  void post();
  void wait();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// A thread that runs `body`; destroying it waits for `body` to return. Fails (returns
/// false from started()) where the system gives no thread.
class Thread {
 public:
  explicit Thread(std::function<void()> body);
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  bool started() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nivra
