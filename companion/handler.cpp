#include "companion/handler.h"

#include "companion/refusal.h"

namespace QuorvelleDrive::companion {

namespace {

const json::value* member(const json::object& request, const char* key) {
  return request.if_contains(key);
}

std::string text(const json::object& request, const char* key) {
  auto* value = member(request, key);
  if (!value || !value->is_string()) throw Refusal(Word::badRequest);
  return std::string(value->as_string());
}

bool flag(const json::object& request, const char* key) {
  auto* value = member(request, key);
  if (!value || !value->is_bool()) throw Refusal(Word::badRequest);
  return value->as_bool();
}

std::optional<std::string> optionalText(const json::object& request, const char* key) {
  auto* value = member(request, key);
  if (!value || !value->is_string()) return std::nullopt;
  return std::string(value->as_string());
}

std::string opOf(const json::object& request) {
  auto* op = member(request, "op");
  return op && op->is_string() ? std::string(op->as_string()) : std::string();
}

}  // namespace

std::optional<std::uint64_t> announcedSize(const json::object& request) {
  auto* size = member(request, "size");
  if (!size) return std::nullopt;
  if (size->is_uint64()) return size->as_uint64();
  if (size->is_int64() && size->as_int64() >= 0)
    return static_cast<std::uint64_t>(size->as_int64());
  throw Refusal(Word::badRequest);
}

bool Handler::keepsBody(const json::object& request) {
  std::string op = opOf(request);
  if (op == "write") return true;
  if (op != "create") return false;
  auto* dir = member(request, "dir");
  return dir && dir->is_bool() && !dir->as_bool();
}

std::optional<std::string> Handler::refusalBeforeBody(const json::object& request,
                                                      std::uint64_t size) const {
  if (!keepsBody(request)) return std::nullopt;
  if (catalog_.readOnly()) return Word::access;
  if (maxFileSize_ && size > *maxFileSize_) return Word::tooBig;
  return std::nullopt;
}

Response Handler::refusal(const std::string& word) {
  return {{{"error", word}}, std::nullopt};
}

namespace {

// Remembers whether the reply has gone out, after which a failure can only end the connection.
class TrackedSink : public ContentsSink {
 public:
  explicit TrackedSink(ContentsSink& inner) : inner_(inner) {}
  void begin(std::uint64_t size) override {
    begun_ = true;
    inner_.begin(size);
  }
  bool write(std::string_view bytes) override { return inner_.write(bytes); }
  bool sendFile(int fd, std::uint64_t size) override { return inner_.sendFile(fd, size); }
  bool begun() const { return begun_; }

 private:
  ContentsSink& inner_;
  bool begun_ = false;
};

}  // namespace

Response Handler::handle(const json::object& request, StagedFile* body, ContentsSink& sink) {
  TrackedSink tracked(sink);
  auto failed = [&](const std::string& word) {
    return tracked.begun() ? Response{{}, std::nullopt, true} : refusal(word);
  };
  try {
    return dispatch(opOf(request), request, body, tracked);
  } catch (const Refusal& refused) {
    return failed(refused.word());
  } catch (const std::exception&) {
    return failed(Word::io);
  }
}

Response Handler::dispatch(const std::string& op, const json::object& request, StagedFile* body,
                           ContentsSink& sink) {
  if (op == "item") return withItem(catalog_.item(text(request, "id")));
  if (op == "read") {
    catalog_.read(text(request, "id"), sink);
    return {{}, std::nullopt, true};
  }
  if (op == "create") {
    bool dir = flag(request, "dir");
    return withItem(
        catalog_.create(text(request, "parent"), text(request, "name"), dir, dir ? nullptr : body));
  }
  if (op == "rename")
    return withItem(
        catalog_.rename(text(request, "id"), text(request, "parent"), text(request, "name")));
  if (op == "write") {
    std::string id = text(request, "id");
    if (!body) throw Refusal(Word::badRequest);
    auto outcome = catalog_.write(id, optionalText(request, "base"), *body);
    Response response = withItem(outcome.item);
    if (outcome.restore) response.json["restore"] = true;
    return response;
  }
  if (op == "delete") {
    catalog_.remove(text(request, "id"));
    return {};
  }
  if (op == "list") return {{{"items", describe(catalog_.list(text(request, "id")))}}, {}};
  if (op == "all") return {{{"items", describe(catalog_.all())}}, {}};
  if (op == "anchor") return {{{"anchor", catalog_.anchor()}}, {}};
  throw Refusal(Word::badRequest);
}

json::object Handler::describe(const ItemInfo& info) const {
  return {{"id", info.row.id},
          {"parent", info.row.parent},
          {"name", info.row.name},
          {"dir", info.row.dir},
          {"writable", !catalog_.readOnly()},
          {"version", info.row.version},
          {"mtime", info.mtime},
          {"size", info.size},
          {"uploading", false},
          {"storageFull", false}};
}

json::array Handler::describe(const std::vector<ItemInfo>& items) const {
  json::array out;
  for (auto& info : items) out.push_back(describe(info));
  return out;
}

Response Handler::withItem(const ItemInfo& info) const {
  return {{{"item", describe(info)}}, {}};
}

}  // namespace QuorvelleDrive::companion
