#include <sched.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/threads.h"

namespace nivra {

unsigned processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
    return unsigned(CPU_COUNT(&set));
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? unsigned(online) : 1;
}

struct Mutex::Impl {
  std::mutex m;
};
Mutex::Mutex() : impl_(std::make_unique<Impl>()) {}
Mutex::~Mutex() = default;
void Mutex::lock() { impl_->m.lock(); }
void Mutex::unlock() { impl_->m.unlock(); }

struct Semaphore::Impl {
  std::mutex m;
  std::condition_variable posted;
  unsigned count = 0;
};
Semaphore::Semaphore() : impl_(std::make_unique<Impl>()) {}
Semaphore::~Semaphore() = default;
void Semaphore::post() {
  {
    std::lock_guard<std::mutex> lock(impl_->m);
    ++impl_->count;
  }
  impl_->posted.notify_one();
}
void Semaphore::wait() {
  std::unique_lock<std::mutex> lock(impl_->m);
  impl_->posted.wait(lock, [this] { return impl_->count > 0; });
  --impl_->count;
}

struct Thread::Impl {
  std::thread thread;
};
Thread::Thread(std::function<void()> body) {
  try {
    impl_ = std::make_unique<Impl>();
    impl_->thread = std::thread(std::move(body));
  } catch (const std::system_error&) {
    // No thread: started() says so.
  } catch (const std::bad_alloc&) {
  }
}
Thread::~Thread() {
  if (started()) impl_->thread.join();
}
bool Thread::started() const { return impl_ && impl_->thread.joinable(); }

}  // namespace nivra
