// Publishing through host/nats_publisher.h.
#include <chrono>

#include "event_publisher.h"
#include "host/nats_publisher.h"

namespace loquant::cli {

namespace {

// How long the end of a run waits for the server to take what is left.
constexpr auto kFinishLimit = std::chrono::seconds(5);

class NatsEventPublisher final : public EventPublisher {
 public:
  explicit NatsEventPublisher(std::unique_ptr<vornix::host::NatsPublisher> publisher)
      : publisher_(std::move(publisher)) {}

  void publish(std::string_view component, std::string_view post, std::string_view json,
               std::uint16_t instance) override {
    subject_.assign(vornix::host::subjectToken(component));
    subject_.append(".").append(vornix::host::subjectToken(post));
    publisher_->publish(subject_, json, instance);
  }

  bool finish(std::FILE* log) override {
    const bool all = publisher_->finish(kFinishLimit);
    const vornix::host::NatsPublisher::Stats stats = publisher_->stats();
    if (stats.dropped != 0 && log != nullptr) {
      std::fprintf(
          log,
          "loquant: %llu message(s) could not be published to NATS server %s:%u (the "
          "backlog of %zu bytes was full or the server was gone at the end); %llu "
          "were\n",
          static_cast<unsigned long long>(stats.dropped), publisher_->settings().host.c_str(),
          static_cast<unsigned>(publisher_->settings().port), publisher_->settings().backlogBytes,
          static_cast<unsigned long long>(stats.published));
    }
    return all && stats.dropped == 0;
  }

 private:
  std::unique_ptr<vornix::host::NatsPublisher> publisher_;
  std::string subject_;
};

}  // namespace

std::unique_ptr<EventPublisher> EventPublisher::open(const std::string& address, std::FILE* log,
                                                     std::string& error) {
  vornix::host::NatsSettings settings;
  if (!vornix::host::parsePublishAddress(address, settings, error)) return nullptr;
  std::unique_ptr<vornix::host::NatsPublisher> publisher =
      vornix::host::NatsPublisher::start(settings, log, error);
  if (!publisher) return nullptr;
  return std::make_unique<NatsEventPublisher>(std::move(publisher));
}

}  // namespace loquant::cli
