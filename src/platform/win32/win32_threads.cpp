#include <windows.h>

#include <climits>

#include "platform/threads.h"

namespace nivra {

unsigned processors() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
  unsigned n = 0;
  for (; process != 0; process &= process - 1) ++n;
  return n;
}

// A critical section and semaphores: both are there on Windows XP, unlike the
// condition variables of later systems.
struct Mutex::Impl {
  CRITICAL_SECTION section;
};
Mutex::Mutex() : impl_(std::make_unique<Impl>()) { InitializeCriticalSection(&impl_->section); }
Mutex::~Mutex() { DeleteCriticalSection(&impl_->section); }
void Mutex::lock() { EnterCriticalSection(&impl_->section); }
void Mutex::unlock() { LeaveCriticalSection(&impl_->section); }

struct Semaphore::Impl {
  HANDLE handle;
};
Semaphore::Semaphore()
    : impl_(std::make_unique<Impl>(Impl{CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr)})) {}
Semaphore::~Semaphore() {
  if (impl_->handle) CloseHandle(impl_->handle);
}
void Semaphore::post() { ReleaseSemaphore(impl_->handle, 1, nullptr); }
void Semaphore::wait() { WaitForSingleObject(impl_->handle, INFINITE); }

struct Thread::Impl {
  std::function<void()> body;
  HANDLE handle = nullptr;
  static DWORD WINAPI run(void* self) {
    static_cast<Impl*>(self)->body();
    return 0;
  }
};
Thread::Thread(std::function<void()> body) : impl_(std::make_unique<Impl>()) {
  impl_->body = std::move(body);
  // The C runtime the programs use (msvcrt.dll) keeps its per-thread state itself.
  impl_->handle = CreateThread(nullptr, 0, &Impl::run, impl_.get(), 0, nullptr);
}
Thread::~Thread() {
  if (!impl_->handle) return;
  WaitForSingleObject(impl_->handle, INFINITE);
  CloseHandle(impl_->handle);
}
bool Thread::started() const { return impl_->handle != nullptr; }

}  // namespace nivra
