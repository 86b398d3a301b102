// CooperativeTask on POSIX: the context-switching library's fibers, each on
// a fixed-size stack with a guard page below it.
#include <boost/context/fiber.hpp>
#include <boost/context/protected_fixedsize_stack.hpp>

#include <new>
#include <utility>

#include "host/cooperative_task.h"

#if defined(__SANITIZE_ADDRESS__)
#define LOQUANT_TASK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LOQUANT_TASK_ASAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define LOQUANT_TASK_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define LOQUANT_TASK_TSAN 1
#endif
#endif

#if defined(LOQUANT_TASK_ASAN)
extern "C" void __sanitizer_start_switch_fiber(void** fakeStackSave, const void* bottom,
                                               std::size_t size);
extern "C" void __sanitizer_finish_switch_fiber(void* fakeStackSave, const void** bottomOld,
                                                std::size_t* sizeOld);
#endif
#if defined(LOQUANT_TASK_TSAN)
extern "C" void* __tsan_get_current_fiber();
extern "C" void* __tsan_create_fiber(unsigned flags);
extern "C" void __tsan_destroy_fiber(void* fiber);
extern "C" void __tsan_switch_to_fiber(void* fiber, unsigned flags);
#endif

// ThreadSanitizer keeps a shadow stack of instrumented frames per fiber: a
// frame is pushed at entry and popped at exit on whichever fiber is current
// then, and popping an empty one writes below it (a crash on the first switch
// into a new task). So every frame is entered and left on one fiber: a switch
// is announced in the very function that jumps, never in a helper (whose exit
// would pop the other fiber), and a task that ends is not announced leaving,
// since its last frames still return on its own stack; the resumer takes the
// thread back once the jump has returned.
#if defined(LOQUANT_TASK_TSAN)
#define LOQUANT_TSAN_SWITCH(fiber) __tsan_switch_to_fiber((fiber), 0)
#else
#define LOQUANT_TSAN_SWITCH(fiber) static_cast<void>(fiber)
#endif

namespace vornix::host {

namespace ctx = boost::context;

struct CooperativeTask::Impl {
  std::function<void()> body;
  ctx::fiber task;     // the task while it is suspended (or not yet started)
  ctx::fiber resumer;  // the resuming side while the task runs
  bool started = false;
  bool finished = false;
  std::exception_ptr failure;

  // The two stacks, for the sanitizers.
  const void* stackBottom = nullptr;
  std::size_t stackSize = 0;
  const void* resumerBottom = nullptr;
  std::size_t resumerSize = 0;
  void* resumerFakeStack = nullptr;
  void* taskFakeStack = nullptr;
  void* tsanTask = nullptr;
  void* tsanResumer = nullptr;

  // Announce a switch to AddressSanitizer, just before it happens (and note
  // who resumes, for ThreadSanitizer). The leaving side keeps its fake stack
  // for its return; a side that ends has none to keep.
  void intoTask() {
#if defined(LOQUANT_TASK_TSAN)
    tsanResumer = __tsan_get_current_fiber();
#endif
#if defined(LOQUANT_TASK_ASAN)
    __sanitizer_start_switch_fiber(&resumerFakeStack, stackBottom, stackSize);
#endif
  }
  void backInResumer() {
#if defined(LOQUANT_TASK_ASAN)
    __sanitizer_finish_switch_fiber(resumerFakeStack, nullptr, nullptr);
#endif
  }
  void outOfTask(bool ending) {
#if defined(LOQUANT_TASK_ASAN)
    __sanitizer_start_switch_fiber(ending ? nullptr : &taskFakeStack, resumerBottom, resumerSize);
#else
    static_cast<void>(ending);
#endif
  }
  void backInTask(bool first) {
#if defined(LOQUANT_TASK_ASAN)
    __sanitizer_finish_switch_fiber(first ? nullptr : taskFakeStack, &resumerBottom, &resumerSize);
#else
    static_cast<void>(first);
#endif
  }

  ~Impl() {
    if (task && started) {
      // Unwinds the unfinished task on its own stack, then comes back here.
      intoTask();
      LOQUANT_TSAN_SWITCH(tsanTask);
      task = ctx::fiber();
      // The unwinding left the task's frames on its own fiber.
      LOQUANT_TSAN_SWITCH(tsanResumer);
      backInResumer();
    }
    // A task that never ran has nothing on its stack to unwind; the library
    // drops it without entering the body.
    task = ctx::fiber();
#if defined(LOQUANT_TASK_TSAN)
    if (tsanTask != nullptr) __tsan_destroy_fiber(tsanTask);
#endif
  }
};

namespace {

// A guarded fixed-size stack that tells the task where it lies.
class RecordedStack {
 public:
  RecordedStack(std::size_t bytes, CooperativeTask::Impl* impl) : inner_(bytes), impl_(impl) {}
  ctx::stack_context allocate() {
    ctx::stack_context stack = inner_.allocate();
    impl_->stackBottom = static_cast<const char*>(stack.sp) - stack.size;
    impl_->stackSize = stack.size;
    return stack;
  }
  void deallocate(ctx::stack_context& stack) noexcept { inner_.deallocate(stack); }

 private:
  ctx::protected_fixedsize_stack inner_;
  CooperativeTask::Impl* impl_;
};

}  // namespace

std::size_t CooperativeTask::defaultStackBytes() noexcept {
  // Address space only: pages are committed as the body touches them. The
  // components' deepest frames (the pitch tracker's levels, the record
  // formatting) stay far below this, also with sanitizer redzones.
  return std::size_t{8} << 20U;
}

std::unique_ptr<CooperativeTask> CooperativeTask::create(std::function<void()> body,
                                                         std::size_t stackBytes,
                                                         std::string& error) {
  auto impl = std::make_unique<Impl>();
  impl->body = std::move(body);
  Impl* raw = impl.get();
  try {
    impl->task = ctx::fiber(std::allocator_arg, RecordedStack(stackBytes, raw),
                            [raw](ctx::fiber&& caller) -> ctx::fiber {
                              raw->backInTask(true);
                              raw->resumer = std::move(caller);
                              try {
                                raw->body();
                              } catch (const ctx::detail::forced_unwind&) {
                                // The task is being destroyed unfinished.
                                raw->outOfTask(true);
                                throw;
                              } catch (...) {
                                raw->failure = std::current_exception();
                              }
                              raw->finished = true;
                              raw->outOfTask(true);
                              return std::move(raw->resumer);
                            });
  } catch (const std::exception& e) {
    error = std::string("cannot allocate a task stack: ") + e.what();
    return nullptr;
  }
#if defined(LOQUANT_TASK_TSAN)
  impl->tsanTask = __tsan_create_fiber(0);
#endif
  return std::make_unique<CooperativeTask>(std::move(impl));
}

CooperativeTask::CooperativeTask(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

CooperativeTask::~CooperativeTask() = default;

void CooperativeTask::resume() {
  Impl& i = *impl_;
  if (i.finished || !i.task) return;
  i.started = true;
  i.intoTask();
  LOQUANT_TSAN_SWITCH(i.tsanTask);
  i.task = std::move(i.task).resume();
  // A task that suspended has announced the switch back; one that ended
  // could not.
  if (i.finished) LOQUANT_TSAN_SWITCH(i.tsanResumer);
  i.backInResumer();
}

void CooperativeTask::suspend() {
  Impl& i = *impl_;
  i.outOfTask(false);
  LOQUANT_TSAN_SWITCH(i.tsanResumer);
  try {
    i.resumer = std::move(i.resumer).resume();
  } catch (const ctx::detail::forced_unwind&) {
    i.backInTask(false);
    throw;
  }
  i.backInTask(false);
}

bool CooperativeTask::finished() const noexcept {
  return impl_->finished;
}

std::exception_ptr CooperativeTask::failure() const noexcept {
  return impl_->failure;
}

}  // namespace vornix::host
