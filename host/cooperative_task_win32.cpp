// CooperativeTask on Windows: the system's fibers. The thread that resumes
// tasks becomes a fiber itself at its first resume and stays one until it
// ends.
#include <windows.h>

#include <stdexcept>
#include <utility>

#include "host/cooperative_task.h"

namespace vornix::host {

namespace {

// The resuming thread as a fiber: converted once, converted back when the
// thread ends (only if this code converted it).
class ThreadFiber {
 public:
  ~ThreadFiber() {
    if (converted_) ConvertFiberToThread();
  }
  void* current() {
    if (fiber_ != nullptr) return fiber_;
    if (IsThreadAFiber() != FALSE) {
      fiber_ = GetCurrentFiber();
      return fiber_;
    }
    fiber_ = ConvertThreadToFiberEx(nullptr, FIBER_FLAG_FLOAT_SWITCH);
    converted_ = fiber_ != nullptr;
    return fiber_;
  }

 private:
  void* fiber_ = nullptr;
  bool converted_ = false;
};

thread_local ThreadFiber threadFiber;

}  // namespace

struct CooperativeTask::Impl {
  std::function<void()> body;
  void* fiber = nullptr;
  void* resumer = nullptr;
  bool finished = false;
  std::exception_ptr failure;

  ~Impl() {
    // The system frees the stack; an unfinished body's objects are dropped.
    if (fiber != nullptr) DeleteFiber(fiber);
  }

  static void CALLBACK run(void* parameter) {
    auto* self = static_cast<Impl*>(parameter);
    try {
      self->body();
    } catch (...) {
      self->failure = std::current_exception();
    }
    self->finished = true;
    // A fiber's function must never return: the drive deletes it later.
    for (;;) SwitchToFiber(self->resumer);
  }
};

std::size_t CooperativeTask::defaultStackBytes() noexcept {
  // Reserved address space of a 32-bit process: the committed part grows
  // page by page behind the system's own guard page.
  return std::size_t{1} << 20U;
}

std::unique_ptr<CooperativeTask> CooperativeTask::create(std::function<void()> body,
                                                         std::size_t stackBytes,
                                                         std::string& error) {
  auto impl = std::make_unique<Impl>();
  impl->body = std::move(body);
  impl->fiber = CreateFiberEx(0, stackBytes, FIBER_FLAG_FLOAT_SWITCH, &Impl::run, impl.get());
  if (impl->fiber == nullptr) {
    error = "cannot create a task fiber (error " + std::to_string(GetLastError()) + ")";
    return nullptr;
  }
  return std::make_unique<CooperativeTask>(std::move(impl));
}

CooperativeTask::CooperativeTask(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

CooperativeTask::~CooperativeTask() = default;

void CooperativeTask::resume() {
  Impl& i = *impl_;
  if (i.finished) return;
  i.resumer = threadFiber.current();
  if (i.resumer == nullptr) {
    // The thread cannot switch at all: the task ends without running.
    i.failure = std::make_exception_ptr(std::runtime_error(
        "cannot make the thread a fiber (error " + std::to_string(GetLastError()) + ")"));
    i.finished = true;
    return;
  }
  SwitchToFiber(i.fiber);
}

void CooperativeTask::suspend() {
  SwitchToFiber(impl_->resumer);
}

bool CooperativeTask::finished() const noexcept {
  return impl_->finished;
}

std::exception_ptr CooperativeTask::failure() const noexcept {
  return impl_->failure;
}

}  // namespace vornix::host
