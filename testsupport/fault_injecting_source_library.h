#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "source/source_library.h"

namespace zv::testsupport {

/// The calls of a SourceLibrary that FaultInjectingSourceLibrary can make fail.
enum class SourceCall : std::size_t {
  countItems,
  getItems,
  forEachItem,
  countLabels,
  getLabels,
  countFolderCollections,
  getFolderCollections,
  countTagCollections,
  getTagCollections,
  exportItem,
  openItemPayload,
};
inline constexpr std::size_t kSourceCallCount =
    static_cast<std::size_t>(SourceCall::openItemPayload) + 1;

/// Wraps any source library and fails the chosen calls the way a source application does (the
/// source error domain, the call-failed code, the reason as description), each from its n-th
/// use on; every other use goes to the wrapped library. Uses are counted per call as the caller
/// makes them: a wrapped forEachItem that fetches through its own getItems counts as one
/// forEachItem.
class FaultInjectingSourceLibrary final : public source::SourceLibrary {
 public:
  explicit FaultInjectingSourceLibrary(std::shared_ptr<source::SourceLibrary> wrapped)
      : wrapped_(std::move(wrapped)) {}

  /// Makes `call` fail with `reason` from its use number `fromUse` on (0: the first).
  void failCall(SourceCall call, std::u16string reason, int fromUse = 0) {
    failures_[index(call)] = Failure{std::move(reason), fromUse, std::nullopt, 0};
  }
  /// The same for the uses of `call` that go through the items of `kind`, counted among those.
  void failCall(SourceCall call, source::ItemKind kind, std::u16string reason, int fromUse = 0) {
    failures_[index(call)] = Failure{std::move(reason), fromUse, kind, 0};
  }

  /// Runs `hook` on the calling thread as each call begins, for a test to act at that point.
  void setBeforeCall(std::function<void(SourceCall)> hook) { beforeCall_ = std::move(hook); }
  /// Runs `hook` as forEachItem hands each item over, before the caller sees it: a point between
  /// two items that no other call marks.
  void setBeforeItem(std::function<void(const source::DatabaseItem&)> hook) {
    beforeItem_ = std::move(hook);
  }

  platform::Result<std::int64_t> countItems(source::ItemKind kind) override {
    return forward(
        SourceCall::countItems, [&] { return wrapped_->countItems(kind); }, kind);
  }
  platform::Result<std::vector<source::DatabaseItem>> getItems(source::ItemKind kind) override {
    return forward(
        SourceCall::getItems, [&] { return wrapped_->getItems(kind); }, kind);
  }
  platform::Result<void> forEachItem(
      source::ItemKind kind,
      const std::function<bool(const source::DatabaseItem&)>& visit) override {
    return forward(
        SourceCall::forEachItem,
        [&] {
          return wrapped_->forEachItem(kind, [&](const source::DatabaseItem& item) {
            if (beforeItem_) {
              beforeItem_(item);
            }
            return visit(item);
          });
        },
        kind);
  }
  platform::Result<std::int64_t> countLabels() override {
    return forward(SourceCall::countLabels, [&] { return wrapped_->countLabels(); });
  }
  platform::Result<std::vector<source::Label>> getLabels() override {
    return forward(SourceCall::getLabels, [&] { return wrapped_->getLabels(); });
  }
  platform::Result<std::int64_t> countFolderCollections() override {
    return forward(SourceCall::countFolderCollections,
                   [&] { return wrapped_->countFolderCollections(); });
  }
  platform::Result<std::vector<source::FolderCollection>> getFolderCollections() override {
    return forward(SourceCall::getFolderCollections,
                   [&] { return wrapped_->getFolderCollections(); });
  }
  platform::Result<std::int64_t> countTagCollections() override {
    return forward(SourceCall::countTagCollections,
                   [&] { return wrapped_->countTagCollections(); });
  }
  platform::Result<std::vector<source::TagCollection>> getTagCollections() override {
    return forward(SourceCall::getTagCollections, [&] { return wrapped_->getTagCollections(); });
  }
  platform::Result<std::optional<platform::URL>> exportItem(
      const source::DatabaseItem& item, const platform::URL& directory) override {
    return forward(SourceCall::exportItem, [&] { return wrapped_->exportItem(item, directory); });
  }
  bool canOpenItemPayloads() const override { return wrapped_->canOpenItemPayloads(); }
  platform::Result<std::optional<source::ItemPayload>> openItemPayload(
      const source::DatabaseItem& item) override {
    return forward(SourceCall::openItemPayload, [&] { return wrapped_->openItemPayload(item); });
  }
  std::optional<platform::URL> libraryFolderURL() const override {
    return wrapped_->libraryFolderURL();
  }

 private:
  struct Failure {
    std::u16string reason;
    int fromUse = 0;
    std::optional<source::ItemKind> kind;  // none: every use counts
    int usesOfKind = 0;
  };

  static constexpr std::size_t index(SourceCall call) { return static_cast<std::size_t>(call); }

  template <typename Call>
  auto forward(SourceCall call, Call&& wrappedCall,
               std::optional<source::ItemKind> kind = std::nullopt) -> decltype(wrappedCall()) {
    if (beforeCall_) {
      beforeCall_(call);
    }
    int use = uses_[index(call)]++;
    std::optional<Failure>& failure = failures_[index(call)];
    if (failure && failure->kind) {
      use = kind == failure->kind ? failure->usesOfKind++ : -1;
    }
    if (failure && use >= failure->fromUse) {
      return platform::Error{source::kSourceErrorDomain, source::kSourceCallFailedErrorCode,
                             failure->reason};
    }
    return wrappedCall();
  }

  std::shared_ptr<source::SourceLibrary> wrapped_;
  std::function<void(SourceCall)> beforeCall_;
  std::function<void(const source::DatabaseItem&)> beforeItem_;
  std::array<std::optional<Failure>, kSourceCallCount> failures_;
  std::array<int, kSourceCallCount> uses_{};
};

}  // namespace zv::testsupport
