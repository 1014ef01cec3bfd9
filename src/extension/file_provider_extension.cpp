#include "extension/file_provider_extension.h"

#include "boundaries/file_provider_error.h"
#include "channel/error_mapping.h"
#include "enumeration/enumerator.h"
#include "platform/bundle.h"

namespace QuorvelleDrive {
namespace {

std::string appGroup() {
  auto value = Bundle::main().objectForInfoDictionaryKey(FileProviderExtension::kAppGroupKey);
  return value && value->is_string() ? std::string(value->as_string()) : std::string();
}

}  // namespace

std::shared_ptr<FileProviderExtension> FileProviderExtension::create(Domain domain) {
  return std::make_shared<FileProviderExtension>(Passkey{}, std::move(domain));
}

FileProviderExtension::FileProviderExtension(Passkey, Domain domain)
    : queue_(kQueueLabel), domain_(std::move(domain)), client_(AppClient::create(appGroup())) {}

std::shared_ptr<Progress> FileProviderExtension::run(std::function<void()> work) {
  auto progress = Progress::withTotalUnitCount(1);
  queue_.async([self = shared_from_this(), work = std::move(work), progress] {
    work();
    progress->setCompletedUnitCount(1);
  });
  return progress;
}

Reply FileProviderExtension::call(const json::object& request, const Buffer* body,
                                  const AppClient::BodyFolder& replyBodyFolder) const {
  if (!client_) throw fileProviderError(FileProviderError::serverUnreachable);
  try {
    return client_->call(request, body, replyBodyFolder);
  } catch (...) {
    std::rethrow_exception(unreachable(std::current_exception()));
  }
}

std::shared_ptr<FileProviderEnumerator> FileProviderExtension::enumerator(
    const ItemIdentifier& container, const Request&) {
  RequestFunction request = [weak = weak_from_this()](const json::object& dictionary) {
    auto self = weak.lock();
    if (!self) throw fileProviderError(FileProviderError::serverUnreachable);
    return self->call(dictionary);
  };
  return Enumerator::create(container, std::move(request));
}

}  // namespace QuorvelleDrive
