#include "source/dbus_source_library.h"

#include <fcntl.h>
#include <sdbus-c++/sdbus-c++.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <map>
#include <optional>
#include <vector>

#include "platform/unicode.h"
#include "source/dbus_library_protocol.h"
#include "source/memory_source_library.h"

namespace zv::source {

using namespace dbus_protocol;
using platform::fromUtf8;
using platform::Result;
using platform::toUtf8;

namespace {

std::optional<std::u16string> readOptionalString(sdbus::Message& message) {
  bool present = false;
  std::string text;
  message.enterStruct("bs");
  message >> present >> text;
  message.exitStruct();
  if (!present) {
    return std::nullopt;
  }
  return fromUtf8(text);
}

std::optional<platform::Date> readOptionalDate(sdbus::Message& message) {
  bool present = false;
  double seconds = 0;
  message.enterStruct("bd");
  message >> present >> seconds;
  message.exitStruct();
  if (!present) {
    return std::nullopt;
  }
  return platform::Date{seconds};
}

std::vector<Tag> readTags(sdbus::Message& message) {
  std::vector<Tag> tags;
  message.enterContainer(kOptionalStringSignature);
  while (message.enterStruct("bs")) {
    bool present = false;
    std::string name;
    message >> present >> name;
    message.exitStruct();
    tags.push_back(Tag{present ? std::optional<std::u16string>(fromUtf8(name)) : std::nullopt});
  }
  message.clearFlags();
  message.exitContainer();
  return tags;
}

// False at the end of the array.
bool readItem(sdbus::Message& message, ItemKind kind, DatabaseItem& item) {
  if (!message.enterStruct(kItemContentsSignature)) {
    return false;
  }
  std::string id;
  std::string name;
  message >> id >> name;
  item.kind = kind;
  item.id = fromUtf8(id);
  item.name = fromUtf8(name);
  bool hasEncrypted = false;
  bool encrypted = false;
  message.enterStruct("bb");
  message >> hasEncrypted >> encrypted;
  message.exitStruct();
  item.encrypted = hasEncrypted ? std::optional<bool>(encrypted) : std::nullopt;
  item.creationDate = readOptionalDate(message);
  item.modificationDate = readOptionalDate(message);
  message >> item.flagged;
  item.comments = readOptionalString(message);
  item.label = readOptionalString(message);
  item.tags = readTags(message);
  item.location = readOptionalString(message);
  message.exitStruct();
  return true;
}

std::u16string reasonOf(const sdbus::Error& error) {
  return fromUtf8(error.getMessage().empty() ? error.getName() : error.getMessage());
}

class DBusSourceLibrary final : public SourceLibrary {
 public:
  DBusSourceLibrary(std::string busName, std::optional<std::string> busAddress)
      : busName_(std::move(busName)), busAddress_(std::move(busAddress)) {}

  Result<std::int64_t> countItems(ItemKind kind) override {
    return call<std::int64_t>(
        "CountItems", kListTimeout, [&](sdbus::MethodCall& message) { message << kindName(kind); },
        readValue<std::int64_t>);
  }

  Result<std::vector<DatabaseItem>> getItems(ItemKind kind) override {
    std::vector<DatabaseItem> items;
    ZV_TRY(forEachItem(kind, [&](const DatabaseItem& item) {
      items.push_back(item);
      return true;
    }));
    return items;
  }

  // Page by page, each item read from the answer as it is visited, so that a big library is
  // never held as objects.
  Result<void> forEachItem(ItemKind kind,
                           const std::function<bool(const DatabaseItem&)>& visit) override {
    // The read-ahead belongs to this pass only.
    struct WindowReset {
      DBusSourceLibrary& library;
      ~WindowReset() {
        library.window_.clear();
        library.prefetched_.clear();
      }
    } windowReset{*this};
    std::uint32_t offset = 0;
    for (;;) {
      bool stopped = false;
      bool more = false;
      std::uint32_t received = 0;
      ZV_TRY(call<bool>(
          "GetItems", kListTimeout,
          [&](sdbus::MethodCall& message) {
            message << kindName(kind) << offset << std::numeric_limits<std::uint32_t>::max();
          },
          [&](sdbus::MethodReply& reply) -> Result<bool> {
            reply.enterContainer(kItemSignature);
            for (bool end = false; !end;) {
              readWindow(reply, kind, end);
              for (const DatabaseItem& item : window_) {
                ++received;
                if (!visit(item)) {
                  stopped = true;
                  return true;
                }
              }
            }
            reply.clearFlags();
            reply.exitContainer();
            reply >> more;
            return true;
          }));
      if (stopped || !more) {
        return {};
      }
      // A source that promises more but sends nothing would keep us asking forever.
      if (received == 0 || offset > std::numeric_limits<std::uint32_t>::max() - received) {
        return makeSourceError(u"The source listed its items out of order.");
      }
      offset += received;
    }
  }

  Result<std::int64_t> countLabels() override {
    return call<std::int64_t>("CountLabels", kListTimeout, noArguments, readValue<std::int64_t>);
  }

  Result<std::vector<Label>> getLabels() override {
    return call<std::vector<Label>>(
        "GetLabels", kListTimeout, noArguments, [](sdbus::MethodReply& reply) {
          std::vector<Label> labels;
          reply.enterContainer(kLabelSignature);
          while (reply.enterStruct("s(bs)(b(dddd))")) {
            Label label;
            std::string id;
            reply >> id;
            label.id = fromUtf8(id);
            label.name = readOptionalString(reply);
            bool hasColor = false;
            DeviceRGBColor color;
            reply.enterStruct("b(dddd)");
            reply >> hasColor;
            reply.enterStruct("dddd");
            reply >> color.red >> color.green >> color.blue >> color.alpha;
            reply.exitStruct();
            reply.exitStruct();
            if (hasColor) {
              label.color = color;
            }
            reply.exitStruct();
            labels.push_back(std::move(label));
          }
          reply.clearFlags();
          reply.exitContainer();
          return Result<std::vector<Label>>(std::move(labels));
        });
  }

  Result<std::int64_t> countFolderCollections() override {
    return call<std::int64_t>("CountFolderCollections", kListTimeout, noArguments,
                              readValue<std::int64_t>);
  }

  Result<std::vector<FolderCollection>> getFolderCollections() override {
    return call<std::vector<FolderCollection>>(
        "GetFolderCollections", kListTimeout, noArguments, [](sdbus::MethodReply& reply) {
          std::vector<FolderCollection> collections;
          reply.enterContainer(kFolderCollectionSignature);
          while (reply.enterStruct("s(bs)as")) {
            FolderCollection collection;
            std::string id;
            reply >> id;
            collection.id = fromUtf8(id);
            collection.name = readOptionalString(reply);
            reply.enterContainer("s");
            std::string member;
            while (reply >> member) {
              collection.databaseItems.push_back(fromUtf8(member));
            }
            reply.clearFlags();
            reply.exitContainer();
            reply.exitStruct();
            collections.push_back(std::move(collection));
          }
          reply.clearFlags();
          reply.exitContainer();
          return Result<std::vector<FolderCollection>>(std::move(collections));
        });
  }

  Result<std::int64_t> countTagCollections() override {
    return call<std::int64_t>("CountTagCollections", kListTimeout, noArguments,
                              readValue<std::int64_t>);
  }

  Result<std::vector<TagCollection>> getTagCollections() override {
    return call<std::vector<TagCollection>>(
        "GetTagCollections", kListTimeout, noArguments, [](sdbus::MethodReply& reply) {
          std::vector<TagCollection> collections;
          reply.enterContainer(kTagCollectionSignature);
          while (reply.enterStruct("s(bs)a(bs)u")) {
            TagCollection collection;
            std::string id;
            reply >> id;
            collection.id = fromUtf8(id);
            collection.name = readOptionalString(reply);
            collection.tags = readTags(reply);
            reply >> collection.tagCollectionBehavior;
            reply.exitStruct();
            collections.push_back(std::move(collection));
          }
          reply.clearFlags();
          reply.exitContainer();
          return Result<std::vector<TagCollection>>(std::move(collections));
        });
  }

  Result<std::optional<platform::URL>> exportItem(const DatabaseItem& item,
                                                  const platform::URL& directory) override {
    const std::string folder = directory.fileSystemPath();
    return call<std::optional<platform::URL>>(
        "ExportItem", kExportTimeout,
        [&](sdbus::MethodCall& message) {
          message << kindName(item.kind) << toUtf8(item.id)
                  << std::vector<std::uint8_t>(folder.begin(), folder.end());
        },
        [](sdbus::MethodReply& reply) -> Result<std::optional<platform::URL>> {
          std::vector<std::uint8_t> path;
          reply >> path;
          if (path.empty()) {
            return std::optional<platform::URL>();
          }
          const std::string text(path.begin(), path.end());
          if (text.front() != '/' || text.find('\0') != std::string::npos) {
            return makeSourceError(u"The source named no file it wrote.");
          }
          return std::optional<platform::URL>(platform::URL::fileURLWithFileSystemPath(text));
        });
  }

  // Sources that serve OpenItemPayloads say so in their introspection data; others write files.
  bool canOpenItemPayloads() const override {
    if (!canOpenItemPayloads_) {
      canOpenItemPayloads_ = answersOpenItemPayload();
    }
    return *canOpenItemPayloads_;
  }

  // The export asks for payloads in the order forEachItem hands the items out, so the payloads
  // of the items after this one in the read-ahead window come in the same call.
  Result<std::optional<ItemPayload>> openItemPayload(const DatabaseItem& item) override {
    if (auto found = prefetched_.find(item.id);
        found != prefetched_.end() && windowKind_ == item.kind) {
      PrefetchedPayload answer = std::move(found->second);
      prefetched_.erase(found);
      return resultOf(std::move(answer));
    }
    std::vector<std::string> ids = {toUtf8(item.id)};
    auto at = std::find_if(window_.begin(), window_.end(),
                           [&](const DatabaseItem& held) { return held.id == item.id; });
    if (at != window_.end() && windowKind_ == item.kind) {
      for (++at; at != window_.end() && ids.size() < kMaximumPayloadsPerCall; ++at) {
        if (!prefetched_.contains(at->id)) {
          ids.push_back(toUtf8(at->id));
        }
      }
    }
    ZV_ASSIGN_OR_RETURN(
        std::vector<PrefetchedPayload> answers,
        call<std::vector<PrefetchedPayload>>(
            "OpenItemPayloads", kExportTimeout,
            [&](sdbus::MethodCall& message) { message << kindName(item.kind) << ids; },
            readPayloadAnswers));
    if (answers.size() != ids.size()) {
      return makeSourceError(u"The source answered for other items than were asked for.");
    }
    for (std::size_t index = 1; index < ids.size(); ++index) {
      prefetched_[fromUtf8(ids[index])] = std::move(answers[index]);
    }
    return resultOf(std::move(answers.front()));
  }

  std::optional<platform::URL> libraryFolderURL() const override {
    Result<std::optional<platform::URL>> folder = call<std::optional<platform::URL>>(
        "GetLibraryFolder", kListTimeout, noArguments,
        [](sdbus::MethodReply& reply) -> Result<std::optional<platform::URL>> {
          std::vector<std::uint8_t> path;
          reply >> path;
          const std::string text(path.begin(), path.end());
          if (text.empty() || text.front() != '/' || text.find('\0') != std::string::npos) {
            return std::optional<platform::URL>();
          }
          return std::optional<platform::URL>(platform::URL::fileURLWithFileSystemPath(text, true));
        });
    if (!folder) {
      // A source that cannot say where its library lies has none we could harm.
      folder.ignoreError();
      return std::nullopt;
    }
    return *folder;
  }

 private:
  static std::string kindName(ItemKind kind) { return toUtf8(itemKindName(kind)); }
  static void noArguments(sdbus::MethodCall& /*message*/) {}
  template <typename T>
  static Result<T> readValue(sdbus::MethodReply& reply) {
    T value{};
    reply >> value;
    return value;
  }

  /// A payload asked for before the export wanted it: the source's reason for failing it, or the
  /// payload.
  struct PrefetchedPayload {
    std::optional<std::u16string> failure;
    std::optional<ItemPayload> payload;
  };

  static Result<std::optional<ItemPayload>> resultOf(PrefetchedPayload answer) {
    if (answer.failure) {
      return makeSourceError(std::move(*answer.failure));
    }
    return std::move(answer.payload);
  }

  static Result<std::vector<PrefetchedPayload>> readPayloadAnswers(sdbus::MethodReply& reply) {
    std::vector<PrefetchedPayload> answers;
    reply.enterContainer(kPayloadAnswerSignature);
    while (reply.enterStruct(kPayloadAnswerContentsSignature)) {
      bool failed = false;
      std::string reason;
      std::vector<sdbus::UnixFd> files;
      std::string fileName;
      std::string displayName;
      reply >> failed >> reason >> files >> fileName >> displayName;
      reply.exitStruct();
      PrefetchedPayload answer;
      if (failed) {
        answer.failure = fromUtf8(reason);
      } else if (Result<std::optional<ItemPayload>> payload =
                     payloadOf(files, fileName, displayName);
                 payload) {
        answer.payload = std::move(*payload);
      } else {
        answer.failure = payload.error().description;
      }
      answers.push_back(std::move(answer));
    }
    reply.clearFlags();
    reply.exitContainer();
    return answers;
  }

  static Result<std::optional<ItemPayload>> payloadOf(const std::vector<sdbus::UnixFd>& files,
                                                      const std::string& fileName,
                                                      const std::string& displayName) {
    if (files.empty()) {
      return std::optional<ItemPayload>();
    }
    // Ours, and closed on exec, so that no program we start inherits it.
    platform::ScopedDescriptor file(::fcntl(files.front().get(), F_DUPFD_CLOEXEC, 0));
    struct stat status {};
    if (!file.valid() || ::fstat(file.get(), &status) != 0) {
      return makeSourceError(u"The source's file cannot be read.");
    }
    // Only a file is copied as a file: a pipe or a device could feed us forever.
    if (files.size() != 1 || !S_ISREG(status.st_mode) || fileName.empty()) {
      return makeSourceError(u"The source handed over something other than a file.");
    }
    return std::optional<ItemPayload>(
        ItemPayload{std::move(file), fromUtf8(fileName), fromUtf8(displayName), status});
  }

  // Reads the next items of the answer, as many as one payload call can cover; end tells when
  // the answer has no more.
  void readWindow(sdbus::Message& reply, ItemKind kind, bool& end) {
    window_.clear();
    prefetched_.clear();
    windowKind_ = kind;
    while (window_.size() < kMaximumPayloadsPerCall) {
      DatabaseItem item;
      if (!readItem(reply, kind, item)) {
        end = true;
        return;
      }
      window_.push_back(std::move(item));
    }
  }

  // The connection is made on the first call and kept; calls come from one thread at a time.
  sdbus::IProxy& library() const {
    if (!library_) {
      connection_ = busAddress_ ? sdbus::createSessionBusConnectionWithAddress(*busAddress_)
                                : sdbus::createSessionBusConnection();
      library_ = sdbus::createProxy(*connection_, busName_, kLibraryObjectPath);
    }
    return *library_;
  }

  // Every failure of a call, the bus's and the source's, is the source's failure.
  template <typename T, typename Write, typename Read>
  Result<T> call(const char* method, std::chrono::microseconds timeout, Write&& write,
                 Read&& read) const {
    try {
      sdbus::IProxy& proxy = library();
      sdbus::MethodCall message = proxy.createMethodCall(kLibraryInterface, method);
      write(message);
      sdbus::MethodReply reply = proxy.callMethod(message, timeout);
      return read(reply);
    } catch (const sdbus::Error& error) {
      return makeSourceError(reasonOf(error));
    } catch (const std::exception& error) {
      return makeSourceError(fromUtf8(error.what()));
    }
  }

  bool answersOpenItemPayload() const {
    try {
      sdbus::IProxy& proxy = library();
      sdbus::MethodCall message =
          proxy.createMethodCall("org.freedesktop.DBus.Introspectable", "Introspect");
      sdbus::MethodReply reply = proxy.callMethod(message, kListTimeout);
      std::string description;
      reply >> description;
      return description.find("<method name=\"OpenItemPayloads\">") != std::string::npos;
    } catch (const sdbus::Error&) {
      // Then the next call fails and says why.
      return false;
    } catch (const std::exception&) {
      return false;
    }
  }

  std::string busName_;
  std::optional<std::string> busAddress_;
  mutable std::unique_ptr<sdbus::IConnection> connection_;
  mutable std::unique_ptr<sdbus::IProxy> library_;
  mutable std::optional<bool> canOpenItemPayloads_;
  // The items forEachItem is handing out, read a few ahead of the caller, and the payloads
  // already fetched for them.
  ItemKind windowKind_ = ItemKind::note;
  std::vector<DatabaseItem> window_;
  std::map<std::u16string, PrefetchedPayload> prefetched_;
};

}  // namespace

std::unique_ptr<SourceLibrary> makeDBusSourceLibrary(std::string busName) {
  return std::make_unique<DBusSourceLibrary>(std::move(busName), std::nullopt);
}

std::unique_ptr<SourceLibrary> makeDBusSourceLibrary(std::string busName, std::string busAddress) {
  return std::make_unique<DBusSourceLibrary>(std::move(busName), std::move(busAddress));
}

}  // namespace zv::source
