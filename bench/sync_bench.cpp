// Speed of the named synchronisation objects: an uncontended named mutex
// against the bare robust process-shared pthread mutex underneath it (the
// floor), semaphore signal+wait, the semaphore registry's lookup, and section
// create/close.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "util/mutex.h"
#include "util/semaphore.h"
#include "util/shared_memory.h"

namespace {

std::string benchName(const char* tag) {
  return std::string("SyncBench_") + std::to_string(::getpid()) + "_" + tag;
}

void BM_NamedMutexEnterLeave(benchmark::State& state) {
  const std::string name = benchName("mutex");
  vornix::Mutex mutex(name);
  if (!mutex.valid()) state.SkipWithError("no named mutex");
  for (auto _ : state) {
    bool entered = mutex.enter(5000, "vornix::Bench::enter");
    benchmark::DoNotOptimize(entered);
    mutex.leave();
  }
  vornix::removeNamedMutex(name);
}
BENCHMARK(BM_NamedMutexEnterLeave);

void BM_UnnamedMutexEnterLeave(benchmark::State& state) {
  vornix::Mutex mutex;
  for (auto _ : state) {
    bool entered = mutex.enter(5000, "vornix::Bench::enter");
    benchmark::DoNotOptimize(entered);
    mutex.leave();
  }
}
BENCHMARK(BM_UnnamedMutexEnterLeave);

// The floor: a robust process-shared pthread mutex in shared memory, locked
// and unlocked directly. Argument 1 makes it recursive, like the named mutex.
void BM_BareRobustSharedPthreadMutex(benchmark::State& state) {
  void* memory = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    state.SkipWithError("mmap failed");
    return;
  }
  auto* mutex = static_cast<pthread_mutex_t*>(memory);
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  if (state.range(0) == 1) pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  for (auto _ : state) {
    int result = pthread_mutex_lock(mutex);
    benchmark::DoNotOptimize(result);
    pthread_mutex_unlock(mutex);
  }
  pthread_mutex_destroy(mutex);
  ::munmap(memory, 4096);
}
BENCHMARK(BM_BareRobustSharedPthreadMutex)->Arg(0)->Arg(1);

void BM_SemaphoreSignalWait(benchmark::State& state) {
  const std::string name = benchName("sem");
  vornix::Semaphore semaphore(name, 100);
  if (!semaphore.valid()) state.SkipWithError("no semaphore");
  for (auto _ : state) {
    semaphore.signal();
    bool taken = semaphore.wait(1000);
    benchmark::DoNotOptimize(taken);
  }
  vornix::removeNamedSemaphore(name);
}
BENCHMARK(BM_SemaphoreSignalWait);

// The registry's lookup of a semaphore it already holds: the path of every
// sender that asks for a queue's wake-up semaphore. Each call checks that the
// name still leads to the registered object.
void BM_GetNamedSemaphoreCached(benchmark::State& state) {
  const std::string name = benchName("registry");
  if (vornix::getNamedSemaphore(name, true) == nullptr) state.SkipWithError("no semaphore");
  for (auto _ : state) {
    vornix::Semaphore* found = vornix::getNamedSemaphore(name, false);
    benchmark::DoNotOptimize(found);
  }
  vornix::removeNamedSemaphore(name);
}
BENCHMARK(BM_GetNamedSemaphoreCached);

// Create (mapping the section that exists already) and close: the reopen
// path of a section client.
void BM_SharedMemoryCreateExistingClose(benchmark::State& state) {
  const std::string name = benchName("shm");
  const auto size = static_cast<std::uint64_t>(state.range(0));
  std::uint8_t* keep = vornix::createSharedMemory(name, size);
  if (keep == nullptr) state.SkipWithError("no section");
  for (auto _ : state) {
    std::uint8_t* view = vornix::createSharedMemory(name, size);
    benchmark::DoNotOptimize(view);
    vornix::closeSharedMemory(view, size);
  }
  vornix::closeSharedMemory(keep, size);
  vornix::removeSharedMemory(name);
}
BENCHMARK(BM_SharedMemoryCreateExistingClose)->Arg(4096)->Arg(1 << 20);

// A fresh section each time: create, close and remove.
void BM_SharedMemoryCreateNewCloseRemove(benchmark::State& state) {
  const std::string name = benchName("shmnew");
  const auto size = static_cast<std::uint64_t>(state.range(0));
  for (auto _ : state) {
    std::uint8_t* view = vornix::createSharedMemory(name, size);
    benchmark::DoNotOptimize(view);
    vornix::closeSharedMemory(view, size);
    vornix::removeSharedMemory(name);
  }
}
BENCHMARK(BM_SharedMemoryCreateNewCloseRemove)->Arg(4096)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
