#include "source/dbus_library_service.h"

#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <thread>
#include <utility>
#include <vector>

#include "platform/unicode.h"
#include "source/dbus_library_protocol.h"
#include "source/memory_source_library.h"

namespace zv::source {

using namespace dbus_protocol;
using platform::fromUtf8;
using platform::toUtf8;

struct DBusLibraryService::Parts {
  SourceLibrary* library = nullptr;
  DBusLibraryServiceOptions options;
  std::unique_ptr<sdbus::IConnection> connection;
  std::unique_ptr<sdbus::IObject> libraryObject;
  std::unique_ptr<sdbus::IObject> automationObject;
  /// What the objects' callbacks call; it goes after them.
  std::shared_ptr<void> handlers;
  std::thread loop;
};

namespace {

[[noreturn]] void throwFailure(const platform::Error& error) {
  throw sdbus::Error(kFailedErrorName, toUtf8(error.description));
}

template <typename T>
T valueOrThrow(platform::Result<T> result) {
  if (!result) {
    throwFailure(result.error());
  }
  return std::move(*result);
}

void throwIfFailed(const platform::Result<void>& result) {
  if (!result) {
    throwFailure(result.error());
  }
}

ItemKind kindNamed(const std::string& name) {
  const std::optional<ItemKind> kind = itemKindFromName(fromUtf8(name));
  if (!kind) {
    throw sdbus::Error(kInvalidArgsErrorName, "There is no kind of item named \"" + name + "\".");
  }
  return *kind;
}

// Nothing a caller sends names a file by a relative path or one the system would cut at a NUL.
std::string absolutePath(const std::vector<std::uint8_t>& bytes) {
  std::string path(bytes.begin(), bytes.end());
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) {
    throw sdbus::Error(kInvalidArgsErrorName, "The folder must be given by an absolute path.");
  }
  return path;
}

std::vector<std::uint8_t> bytesOf(const std::string& path) {
  return {path.begin(), path.end()};
}

// Returns roughly how many bytes the value adds to the message.
std::size_t appendOptionalString(sdbus::Message& message,
                                 const std::optional<std::u16string>& value) {
  const std::string text = value ? toUtf8(*value) : std::string();
  message.openStruct("bs");
  message << value.has_value() << text;
  message.closeStruct();
  return text.size() + 16;
}

void appendOptionalDate(sdbus::Message& message, const std::optional<platform::Date>& date) {
  message.openStruct("bd");
  message << date.has_value() << (date ? date->secondsSinceReferenceDate : 0.0);
  message.closeStruct();
}

std::size_t appendTags(sdbus::Message& message, const std::vector<Tag>& tags) {
  std::size_t bytes = 8;
  message.openContainer(kOptionalStringSignature);
  for (const Tag& tag : tags) {
    bytes += appendOptionalString(message, tag.name);
  }
  message.closeContainer();
  return bytes;
}

std::size_t appendItem(sdbus::Message& message, const DatabaseItem& item) {
  const std::string id = toUtf8(item.id);
  const std::string name = toUtf8(item.name);
  std::size_t bytes = id.size() + name.size() + 64;
  message.openStruct(kItemContentsSignature);
  message << id << name;
  message.openStruct("bb");
  message << item.encrypted.has_value() << item.encrypted.value_or(false);
  message.closeStruct();
  appendOptionalDate(message, item.creationDate);
  appendOptionalDate(message, item.modificationDate);
  message << item.flagged;
  bytes += appendOptionalString(message, item.comments);
  bytes += appendOptionalString(message, item.label);
  bytes += appendTags(message, item.tags);
  bytes += appendOptionalString(message, item.location);
  message.closeStruct();
  return bytes;
}

class Handlers {
 public:
  explicit Handlers(DBusLibraryService::Parts& parts)
      : library_(*parts.library), options_(parts.options) {}

  void countItems(sdbus::MethodCall& call) {
    std::string kind;
    call >> kind;
    reply(call, valueOrThrow(library_.countItems(kindNamed(kind))));
  }

  // One page of a kind's items: from offset on, at most limit of them, and no more than fit in
  // itemPageBytes; "more" says whether items follow.
  void getItems(sdbus::MethodCall& call) {
    std::string kindName;
    std::uint32_t offset = 0;
    std::uint32_t limit = 0;
    call >> kindName >> offset >> limit;
    const ItemKind kind = kindNamed(kindName);
    sdbus::MethodReply answer = call.createReply();
    answer.openContainer(kItemSignature);
    std::uint64_t index = 0;
    std::uint32_t sent = 0;
    std::size_t bytes = 0;
    bool more = false;
    throwIfFailed(library_.forEachItem(kind, [&](const DatabaseItem& item) {
      if (index++ < offset) {
        return true;
      }
      if (sent == limit || bytes >= options_.itemPageBytes) {
        more = true;
        return false;
      }
      bytes += appendItem(answer, item);
      ++sent;
      return true;
    }));
    answer.closeContainer();
    answer << more;
    answer.send();
  }

  void countLabels(sdbus::MethodCall& call) { reply(call, valueOrThrow(library_.countLabels())); }

  void getLabels(sdbus::MethodCall& call) {
    const std::vector<Label> labels = valueOrThrow(library_.getLabels());
    sdbus::MethodReply answer = call.createReply();
    answer.openContainer(kLabelSignature);
    for (const Label& label : labels) {
      answer.openStruct("s(bs)(b(dddd))");
      answer << toUtf8(label.id);
      appendOptionalString(answer, label.name);
      const DeviceRGBColor color = label.color.value_or(DeviceRGBColor{});
      answer.openStruct("b(dddd)");
      answer << label.color.has_value();
      answer.openStruct("dddd");
      answer << color.red << color.green << color.blue << color.alpha;
      answer.closeStruct();
      answer.closeStruct();
      answer.closeStruct();
    }
    answer.closeContainer();
    answer.send();
  }

  void countFolderCollections(sdbus::MethodCall& call) {
    reply(call, valueOrThrow(library_.countFolderCollections()));
  }

  void getFolderCollections(sdbus::MethodCall& call) {
    const std::vector<FolderCollection> collections = valueOrThrow(library_.getFolderCollections());
    sdbus::MethodReply answer = call.createReply();
    answer.openContainer(kFolderCollectionSignature);
    for (const FolderCollection& collection : collections) {
      answer.openStruct("s(bs)as");
      answer << toUtf8(collection.id);
      appendOptionalString(answer, collection.name);
      answer.openContainer("s");
      for (const std::u16string& member : collection.databaseItems) {
        answer << toUtf8(member);
      }
      answer.closeContainer();
      answer.closeStruct();
    }
    answer.closeContainer();
    answer.send();
  }

  void countTagCollections(sdbus::MethodCall& call) {
    reply(call, valueOrThrow(library_.countTagCollections()));
  }

  void getTagCollections(sdbus::MethodCall& call) {
    const std::vector<TagCollection> collections = valueOrThrow(library_.getTagCollections());
    sdbus::MethodReply answer = call.createReply();
    answer.openContainer(kTagCollectionSignature);
    for (const TagCollection& collection : collections) {
      answer.openStruct("s(bs)a(bs)u");
      answer << toUtf8(collection.id);
      appendOptionalString(answer, collection.name);
      appendTags(answer, collection.tags);
      answer << collection.tagCollectionBehavior;
      answer.closeStruct();
    }
    answer.closeContainer();
    answer.send();
  }

  // The application writes the item into the caller's folder, under a name nobody has taken
  // there, and answers the file's path; an empty path when it wrote nothing.
  void exportItem(sdbus::MethodCall& call) {
    std::string kind;
    std::string id;
    std::vector<std::uint8_t> directory;
    call >> kind >> id >> directory;
    DatabaseItem item;
    item.kind = kindNamed(kind);
    item.id = fromUtf8(id);
    const platform::URL folder =
        platform::URL::fileURLWithFileSystemPath(absolutePath(directory), true);
    const std::optional<platform::URL> written = valueOrThrow(library_.exportItem(item, folder));
    reply(call, written ? bytesOf(written->fileSystemPath()) : std::vector<std::uint8_t>());
  }

  // The items' payloads, open for reading, so that the caller copies them without a detour
  // through a folder. Each answer is the library's reason for failing that item, or its payload
  // (no descriptor when there is nothing to copy); asking for several at once spares a round trip
  // per item.
  void openItemPayloads(sdbus::MethodCall& call) {
    std::string kind;
    std::vector<std::string> ids;
    call >> kind >> ids;
    if (ids.size() > kMaximumPayloadsPerCall) {
      throw sdbus::Error(kInvalidArgsErrorName, "Too many items asked for at once.");
    }
    DatabaseItem item;
    item.kind = kindNamed(kind);
    sdbus::MethodReply answer = call.createReply();
    answer.openContainer(kPayloadAnswerSignature);
    for (const std::string& id : ids) {
      item.id = fromUtf8(id);
      platform::Result<std::optional<ItemPayload>> payload = library_.openItemPayload(item);
      std::vector<sdbus::UnixFd> files;
      std::string fileName;
      std::string displayName;
      if (payload && payload->has_value()) {
        files.emplace_back((*payload)->file.release(), sdbus::adopt_fd);
        fileName = toUtf8((*payload)->fileName);
        displayName = toUtf8((*payload)->displayName);
      }
      answer.openStruct(kPayloadAnswerContentsSignature);
      answer << !payload.ok() << (payload ? std::string() : toUtf8(payload.error().description))
             << files << fileName << displayName;
      answer.closeStruct();
    }
    answer.closeContainer();
    answer.send();
  }

  void getLibraryFolder(sdbus::MethodCall& call) {
    const std::optional<platform::URL> folder = library_.libraryFolderURL();
    reply(call, folder ? bytesOf(folder->fileSystemPath()) : std::vector<std::uint8_t>());
  }

  void requestPermission(sdbus::MethodCall& call) {
    if (options_.denyControl) {
      throw sdbus::Error(kAccessDeniedErrorName, "Zelvar does not allow itself to be controlled.");
    }
    call.createReply().send();
  }

  // Every answer goes through here: the delay asked for, and any fault of the library turned into
  // an error answer rather than escaping into the bus library.
  std::function<void(sdbus::MethodCall)> guarded(void (Handlers::*handler)(sdbus::MethodCall&)) {
    return [this, handler](sdbus::MethodCall call) {
      if (options_.callDelay.count() > 0) {
        std::this_thread::sleep_for(options_.callDelay);
      }
      try {
        (this->*handler)(call);
      } catch (const sdbus::Error&) {
        throw;
      } catch (const std::exception& exception) {
        throw sdbus::Error(kFailedErrorName, exception.what());
      }
    };
  }

 private:
  template <typename T>
  static void reply(sdbus::MethodCall& call, const T& value) {
    sdbus::MethodReply answer = call.createReply();
    answer << value;
    answer.send();
  }

  SourceLibrary& library_;
  const DBusLibraryServiceOptions options_;
};

struct Method {
  const char* name;
  const char* inputSignature;
  std::vector<std::string> inputNames;
  std::string outputSignature;
  std::vector<std::string> outputNames;
  void (Handlers::*handler)(sdbus::MethodCall&);
};

std::vector<Method> libraryMethods() {
  const std::string items = std::string("a") + kItemSignature + "b";
  const std::string labels = std::string("a") + kLabelSignature;
  const std::string folders = std::string("a") + kFolderCollectionSignature;
  const std::string tagCollections = std::string("a") + kTagCollectionSignature;
  return {
      {"CountItems", "s", {"kind"}, "x", {"count"}, &Handlers::countItems},
      {"GetItems",
       "suu",
       {"kind", "offset", "limit"},
       items,
       {"items", "more"},
       &Handlers::getItems},
      {"CountLabels", "", {}, "x", {"count"}, &Handlers::countLabels},
      {"GetLabels", "", {}, labels, {"labels"}, &Handlers::getLabels},
      {"CountFolderCollections", "", {}, "x", {"count"}, &Handlers::countFolderCollections},
      {"GetFolderCollections", "", {}, folders, {"collections"}, &Handlers::getFolderCollections},
      {"CountTagCollections", "", {}, "x", {"count"}, &Handlers::countTagCollections},
      {"GetTagCollections", "", {}, tagCollections, {"collections"}, &Handlers::getTagCollections},
      {"ExportItem", "ssay", {"kind", "id", "directory"}, "ay", {"path"}, &Handlers::exportItem},
      {"OpenItemPayloads",
       "sas",
       {"kind", "ids"},
       std::string("a") + kPayloadAnswerSignature,
       {"payloads"},
       &Handlers::openItemPayloads},
      {"GetLibraryFolder", "", {}, "ay", {"path"}, &Handlers::getLibraryFolder},
  };
}

}  // namespace

DBusLibraryService::DBusLibraryService(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}

DBusLibraryService::~DBusLibraryService() {
  try {
    parts_->connection->leaveEventLoop();
  } catch (const sdbus::Error&) {
    // The loop has ended already; the objects and the connection go all the same.
  }
  parts_->loop.join();
  parts_->automationObject.reset();
  parts_->libraryObject.reset();
  parts_->connection.reset();
  parts_->handlers.reset();
}

platform::Result<std::unique_ptr<DBusLibraryService>> DBusLibraryService::start(
    SourceLibrary& library, const std::string& busName, DBusLibraryServiceOptions options,
    const std::optional<std::string>& busAddress) {
  auto parts = std::make_unique<Parts>();
  parts->library = &library;
  parts->options = std::move(options);
  try {
    parts->connection = busAddress ? sdbus::createSessionBusConnectionWithAddress(*busAddress)
                                   : sdbus::createSessionBusConnection();
    auto handlers = std::make_shared<Handlers>(*parts);
    parts->handlers = handlers;
    parts->libraryObject = sdbus::createObject(*parts->connection, kLibraryObjectPath);
    for (const Method& method : libraryMethods()) {
      parts->libraryObject->registerMethod(kLibraryInterface, method.name, method.inputSignature,
                                           method.inputNames, method.outputSignature,
                                           method.outputNames, handlers->guarded(method.handler));
    }
    parts->libraryObject->finishRegistration();
    parts->automationObject = sdbus::createObject(*parts->connection, kAutomationObjectPath);
    parts->automationObject->registerMethod(kAutomationInterface, "RequestPermission", "", {}, "",
                                            {}, handlers->guarded(&Handlers::requestPermission));
    parts->automationObject->finishRegistration();
    // Named only once every object answers, so that no early caller finds an empty service.
    parts->connection->requestName(busName);
    // A loop of our own rather than the bus library's, whose thread would end the process when
    // the bus goes away.
    parts->loop = std::thread(
        [connection = parts->connection.get(), onDisconnected = parts->options.onDisconnected] {
          try {
            connection->enterEventLoop();
          } catch (const sdbus::Error&) {
            if (onDisconnected) {
              onDisconnected();
            }
          }
        });
  } catch (const sdbus::Error& error) {
    return makeSourceError(u"Cannot serve the library as " + fromUtf8(busName) + u": " +
                           fromUtf8(error.getMessage()));
  }
  return std::unique_ptr<DBusLibraryService>(new DBusLibraryService(std::move(parts)));
}

}  // namespace zv::source
