#include <memory>
#include <utility>
#include <variant>

#include "platform/keyed_archive.h"
#include "platform/keyed_archive_internal.h"

namespace zv::platform {

namespace {

template <typename Value>
std::shared_ptr<const ArchivedObject::Node> makeNode(ArchivedObject::Type type, Value value) {
  auto node = std::make_shared<ArchivedObject::Node>();
  node->type = type;
  node->value = std::move(value);
  return node;
}

template <typename Value>
const Value* nodeValue(const std::shared_ptr<const ArchivedObject::Node>& node) {
  return node ? std::get_if<Value>(&node->value) : nullptr;
}

}  // namespace

std::vector<std::u16string> Archivable::classHierarchy() const {
  return {className(), u"NSObject"};
}

ArchivedObject::ArchivedObject(ArchivedNull) : node_(makeNode(Type::kNull, std::monostate{})) {}
ArchivedObject::ArchivedObject(std::u16string value)
    : node_(makeNode(Type::kString, std::move(value))) {}
ArchivedObject::ArchivedObject(PropertyListInteger value)
    : node_(makeNode(Type::kInteger, value)) {}
ArchivedObject::ArchivedObject(double value) : node_(makeNode(Type::kReal, value)) {}
ArchivedObject::ArchivedObject(Date value) : node_(makeNode(Type::kDate, value)) {}
ArchivedObject::ArchivedObject(Data value) : node_(makeNode(Type::kData, std::move(value))) {}
ArchivedObject::ArchivedObject(Array value) : node_(makeNode(Type::kArray, std::move(value))) {}
ArchivedObject::ArchivedObject(Dictionary value)
    : node_(makeNode(Type::kDictionary, std::move(value))) {}
ArchivedObject::ArchivedObject(std::shared_ptr<const Archivable> value) {
  if (value) {
    node_ = makeNode(Type::kArchivable, std::move(value));
  }
}

ArchivedObject ArchivedObject::makeBoolean(bool value) {
  return ArchivedObject(makeNode(Type::kBoolean, value));
}

ArchivedObject ArchivedObject::withMutableClass(bool isMutable) const {
  const Type kind = type();
  const bool hasTwoClasses = kind == Type::kString || kind == Type::kData || kind == Type::kArray ||
                             kind == Type::kDictionary;
  if (!hasTwoClasses || node_->isMutable == isMutable) {
    return *this;
  }
  auto copy = std::make_shared<Node>(*node_);
  copy->isMutable = isMutable;
  return ArchivedObject(std::shared_ptr<const Node>(std::move(copy)));
}

bool ArchivedObject::hasMutableClass() const {
  return node_ && node_->isMutable;
}

ArchivedObject::Type ArchivedObject::type() const {
  return node_ ? node_->type : Type::kNil;
}

const std::u16string* ArchivedObject::asString() const {
  return nodeValue<std::u16string>(node_);
}
std::optional<PropertyListInteger> ArchivedObject::asInteger() const {
  const auto* value = nodeValue<PropertyListInteger>(node_);
  return value ? std::optional(*value) : std::nullopt;
}
std::optional<std::int64_t> ArchivedObject::asInt64() const {
  const auto* value = nodeValue<PropertyListInteger>(node_);
  return value ? value->signedValue() : std::nullopt;
}
std::optional<double> ArchivedObject::asReal() const {
  const auto* value = nodeValue<double>(node_);
  return value ? std::optional(*value) : std::nullopt;
}
std::optional<bool> ArchivedObject::asBoolean() const {
  const auto* value = nodeValue<bool>(node_);
  return value ? std::optional(*value) : std::nullopt;
}
std::optional<Date> ArchivedObject::asDate() const {
  const auto* value = nodeValue<Date>(node_);
  return value ? std::optional(*value) : std::nullopt;
}
const ArchivedObject::Data* ArchivedObject::asData() const {
  return nodeValue<Data>(node_);
}
const ArchivedObject::Array* ArchivedObject::asArray() const {
  return nodeValue<Array>(node_);
}
const ArchivedObject::Dictionary* ArchivedObject::asDictionary() const {
  return nodeValue<Dictionary>(node_);
}
const std::shared_ptr<const Archivable>* ArchivedObject::asArchivable() const {
  return nodeValue<std::shared_ptr<const Archivable>>(node_);
}

const ArchivedObject* ArchivedObject::find(std::u16string_view key) const {
  const Dictionary* dictionary = asDictionary();
  if (!dictionary) {
    return nullptr;
  }
  for (const ArchivedDictionaryEntry& entry : *dictionary) {
    if (entry.key == key) {
      return &entry.value;
    }
  }
  return nullptr;
}

bool operator==(const ArchivedObject& left, const ArchivedObject& right) {
  if (left.node_ == right.node_) {
    return true;
  }
  if (!left.node_ || !right.node_) {
    return false;
  }
  return left.node_->type == right.node_->type && left.node_->isMutable == right.node_->isMutable &&
         left.node_->value == right.node_->value;
}

}  // namespace zv::platform
