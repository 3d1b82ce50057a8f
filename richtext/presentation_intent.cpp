#include "richtext/presentation_intent.h"

#include <optional>
#include <utility>

namespace zv::richtext {

struct PresentationIntent::Node {
  Kind kind = Kind::kParagraph;
  std::int64_t identity = 0;
  std::int64_t headerLevel = 0;
  std::int64_t ordinal = 0;
  std::u16string languageHint;
  std::optional<PresentationIntent> parent;
};

namespace {

std::optional<PresentationIntent> copyOf(const PresentationIntent* intent) {
  return intent != nullptr ? std::optional<PresentationIntent>(*intent) : std::nullopt;
}

std::shared_ptr<PresentationIntent::Node> makeNode(PresentationIntent::Kind kind,
                                                   std::int64_t identity,
                                                   const PresentationIntent* parent) {
  auto node = std::make_shared<PresentationIntent::Node>();
  node->kind = kind;
  node->identity = identity;
  node->parent = copyOf(parent);
  return node;
}

}  // namespace

PresentationIntent::PresentationIntent(std::shared_ptr<const Node> node) : node_(std::move(node)) {}

PresentationIntent PresentationIntent::paragraph(std::int64_t identity,
                                                 const PresentationIntent* parent) {
  return PresentationIntent(makeNode(Kind::kParagraph, identity, parent));
}

PresentationIntent PresentationIntent::header(std::int64_t level, std::int64_t identity,
                                              const PresentationIntent* parent) {
  auto node = makeNode(Kind::kHeader, identity, parent);
  node->headerLevel = level;
  return PresentationIntent(std::move(node));
}

PresentationIntent PresentationIntent::codeBlock(std::u16string languageHint, std::int64_t identity,
                                                 const PresentationIntent* parent) {
  auto node = makeNode(Kind::kCodeBlock, identity, parent);
  node->languageHint = std::move(languageHint);
  return PresentationIntent(std::move(node));
}

PresentationIntent PresentationIntent::blockQuote(std::int64_t identity,
                                                  const PresentationIntent* parent) {
  return PresentationIntent(makeNode(Kind::kBlockQuote, identity, parent));
}

PresentationIntent PresentationIntent::orderedList(std::int64_t identity,
                                                   const PresentationIntent* parent) {
  return PresentationIntent(makeNode(Kind::kOrderedList, identity, parent));
}

PresentationIntent PresentationIntent::unorderedList(std::int64_t identity,
                                                     const PresentationIntent* parent) {
  return PresentationIntent(makeNode(Kind::kUnorderedList, identity, parent));
}

PresentationIntent PresentationIntent::listItem(std::int64_t ordinal, std::int64_t identity,
                                                const PresentationIntent* parent) {
  auto node = makeNode(Kind::kListItem, identity, parent);
  node->ordinal = ordinal;
  return PresentationIntent(std::move(node));
}

PresentationIntent PresentationIntent::thematicBreak(std::int64_t identity,
                                                     const PresentationIntent* parent) {
  return PresentationIntent(makeNode(Kind::kThematicBreak, identity, parent));
}

PresentationIntent::Kind PresentationIntent::kind() const {
  return node_->kind;
}
std::int64_t PresentationIntent::identity() const {
  return node_->identity;
}
std::int64_t PresentationIntent::headerLevel() const {
  return node_->headerLevel;
}
std::int64_t PresentationIntent::ordinal() const {
  return node_->ordinal;
}
const std::u16string& PresentationIntent::languageHint() const {
  return node_->languageHint;
}

const PresentationIntent* PresentationIntent::parentIntent() const {
  return node_->parent ? &*node_->parent : nullptr;
}

bool operator==(const PresentationIntent& a, const PresentationIntent& b) {
  if (a.node_ == b.node_) {
    return true;
  }
  const PresentationIntent::Node& x = *a.node_;
  const PresentationIntent::Node& y = *b.node_;
  return x.kind == y.kind && x.identity == y.identity && x.headerLevel == y.headerLevel &&
         x.ordinal == y.ordinal && x.languageHint == y.languageHint && x.parent == y.parent;
}

}  // namespace zv::richtext
