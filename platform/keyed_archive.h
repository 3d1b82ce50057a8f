#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/property_list.h"
#include "platform/result.h"

namespace zv::platform {

/// Objects nest at most this deep, on archiving and on unarchiving.
inline constexpr std::size_t kKeyedArchiveMaximumDepth = 512;

/// The key under which the archive's root object is stored in "$top".
inline constexpr char16_t kKeyedArchiveRootObjectKey[] = u"root";

class KeyedArchiver;
class KeyedUnarchiver;
struct ArchivedDictionaryEntry;

/// An object of a class of ours that can be archived. Decoding is registered separately, by
/// class name, in a KeyedArchiveClassRegistry.
class Archivable {
 public:
  virtual ~Archivable() = default;

  /// The name the archive records for this object's class.
  virtual std::u16string className() const = 0;
  /// The class name followed by its superclasses, as the platform's unarchiver expects them
  /// (by default the class name and "NSObject").
  virtual std::vector<std::u16string> classHierarchy() const;
  /// Writes the object's values into the archiver's current object.
  virtual void encodeWithCoder(KeyedArchiver& coder) const = 0;
};

/// Marks the platform's null object (NSNull), which unlike nil is a value of its own.
struct ArchivedNull {
  friend bool operator==(ArchivedNull, ArchivedNull) = default;
};

/// One object of an archive: nil, the null object, a string, number, data, date, array,
/// dictionary with string keys, or an object of our own classes. Handles are cheap to copy and
/// share the immutable object they refer to, so an object met twice in an archive is decoded
/// once and archived once.
class ArchivedObject {
 public:
  using Array = std::vector<ArchivedObject>;
  using Dictionary = std::vector<ArchivedDictionaryEntry>;
  using Data = std::vector<std::uint8_t>;

  enum class Type : std::uint8_t {
    kNil,
    kNull,
    kString,
    kInteger,
    kReal,
    kBoolean,
    kData,
    kDate,
    kArray,
    kDictionary,
    kArchivable,
  };

  /// Nil.
  ArchivedObject() = default;
  ArchivedObject(std::nullptr_t) {}      // NOLINT(google-explicit-constructor)
  ArchivedObject(ArchivedNull);          // NOLINT(google-explicit-constructor)
  ArchivedObject(std::u16string value);  // NOLINT(google-explicit-constructor)
  ArchivedObject(std::u16string_view value) : ArchivedObject(std::u16string(value)) {}  // NOLINT
  ArchivedObject(const char16_t* value) : ArchivedObject(std::u16string(value)) {}      // NOLINT
  // UTF-8 text must be converted explicitly; without this a literal would become a boolean.
  ArchivedObject(const char*) = delete;
  ArchivedObject(PropertyListInteger value);  // NOLINT(google-explicit-constructor)
  template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char> && !std::same_as<T, char16_t>)
      ArchivedObject(T value)
      : ArchivedObject(PropertyListInteger(value)) {}  // NOLINT(google-explicit-constructor)
  ArchivedObject(double value);                        // NOLINT(google-explicit-constructor)
  template <typename T>
  requires std::same_as<T, bool> ArchivedObject(T value)
      : ArchivedObject(makeBoolean(value)) {}               // NOLINT
  ArchivedObject(Date value);                               // NOLINT(google-explicit-constructor)
  ArchivedObject(Data value);                               // NOLINT(google-explicit-constructor)
  ArchivedObject(Array value);                              // NOLINT(google-explicit-constructor)
  ArchivedObject(Dictionary value);                         // NOLINT(google-explicit-constructor)
  ArchivedObject(std::shared_ptr<const Archivable> value);  // NOLINT(google-explicit-constructor)

  /// A copy archived with the mutable class (NSMutableString, NSMutableData, NSMutableArray,
  /// NSMutableDictionary) or the immutable one; other types have one class and ignore it.
  ArchivedObject withMutableClass(bool isMutable) const;
  bool hasMutableClass() const;

  Type type() const;
  bool isNil() const { return node_ == nullptr; }

  /// Each accessor answers null (or nothing) when the object is of another type.
  const std::u16string* asString() const;
  std::optional<PropertyListInteger> asInteger() const;
  /// The integer when it fits a signed 64-bit integer.
  std::optional<std::int64_t> asInt64() const;
  std::optional<double> asReal() const;
  std::optional<bool> asBoolean() const;
  std::optional<Date> asDate() const;
  const Data* asData() const;
  const Array* asArray() const;
  const Dictionary* asDictionary() const;
  const std::shared_ptr<const Archivable>* asArchivable() const;
  /// The object of our own class T, or null.
  template <typename T>
  std::shared_ptr<const T> as() const {
    const std::shared_ptr<const Archivable>* object = asArchivable();
    return object ? std::dynamic_pointer_cast<const T>(*object) : nullptr;
  }

  /// For a dictionary, the value under key; null for a missing key or another type.
  const ArchivedObject* find(std::u16string_view key) const;

  /// True when both handles refer to the same stored object (or both are nil).
  bool isSameObject(const ArchivedObject& other) const { return node_ == other.node_; }

  /// Deep equality of built-in values (mutability included); our own objects compare by
  /// identity. Reals compare as numbers.
  friend bool operator==(const ArchivedObject& left, const ArchivedObject& right);

  struct Node;

 private:
  static ArchivedObject makeBoolean(bool value);
  explicit ArchivedObject(std::shared_ptr<const Node> node) : node_(std::move(node)) {}

  std::shared_ptr<const Node> node_;

  friend class KeyedArchiver;
};

struct ArchivedDictionaryEntry {
  std::u16string key;
  ArchivedObject value;

  friend bool operator==(const ArchivedDictionaryEntry&, const ArchivedDictionaryEntry&) = default;
};

/// Builds a keyed archive as the platform's archiver does: one table of objects referenced by
/// UID, "$null" first, shared class records, each object stored once however often it is
/// encoded. Encoding methods write into the current object (at first the archive's "$top").
/// The first failure is kept and later calls do nothing; finishEncoding reports it. Encoding
/// methods return nothing, as the platform's do, so that an object's encode method reads as a
/// plain list of keys.
class KeyedArchiver {
 public:
  KeyedArchiver();

  void encodeObject(std::u16string_view key, const ArchivedObject& object);
  void encodeString(std::u16string_view key, std::u16string_view value);
  void encodeInt64(std::u16string_view key, std::int64_t value);
  void encodeDouble(std::u16string_view key, double value);
  void encodeFloat(std::u16string_view key, float value);
  void encodeBool(std::u16string_view key, bool value);
  /// Raw bytes stored in the current object itself, not as a data object.
  void encodeBytes(std::u16string_view key, std::span<const std::uint8_t> bytes);

  /// Stops the archive with error; the first error wins.
  void failWithError(Error error);
  bool hasFailed() const { return error_.has_value(); }

  /// The archive as a property list: {"$version", "$archiver", "$top", "$objects"}.
  Result<PropertyList> finishEncoding();

 private:
  bool beginKey(std::u16string_view key);
  PropertyListDictionary& currentObject() { return openObjects_.back(); }
  std::uint64_t uidForObject(const ArchivedObject& object);
  void encodeNode(const ArchivedObject::Node& node);
  std::uint64_t uidForClass(const std::vector<std::u16string>& hierarchy);
  std::uint64_t appendObject(PropertyList value);

  PropertyList::Array objects_;
  std::vector<PropertyListDictionary> openObjects_;
  std::unordered_map<const void*, std::uint64_t> uidByObject_;
  std::unordered_map<std::u16string, std::uint64_t> uidByClassName_;
  // Keeps every encoded object alive so that an address is never reused for another object.
  std::vector<std::shared_ptr<const void>> encodedObjects_;
  std::optional<Error> error_;
  bool finished_ = false;
};

/// The archive of root, stored under kKeyedArchiveRootObjectKey, as a property list.
Result<PropertyList> archivedRoot(const ArchivedObject& root);
/// The archive of root as binary property list bytes.
Result<std::vector<std::uint8_t>> archivedDataWithRootObject(const ArchivedObject& root);

/// The decoding functions of our own classes, by class name. Callers build one and pass it to
/// each unarchiver they create; it must outlive them.
class KeyedArchiveClassRegistry {
 public:
  /// Reads the current object of the unarchiver; a null object without an error is a failure.
  using DecodeFunction =
      std::function<Result<std::shared_ptr<const Archivable>>(KeyedUnarchiver& coder)>;

  struct Registration {
    std::vector<std::u16string> classHierarchy;
    DecodeFunction decode;
  };

  /// Registers a class by its hierarchy (class name first, then its superclasses). Fails for an
  /// empty hierarchy or name, a missing function, a built-in class name or a name already
  /// registered.
  Result<void> registerClass(std::vector<std::u16string> classHierarchy, DecodeFunction decode);

  const Registration* find(std::u16string_view className) const;

 private:
  std::vector<Registration> registrations_;
};

/// Reads a keyed archive securely: every object's class must be one the caller allows (or a
/// subclass of one, as far as the decoder knows the class), references are checked, cycles and
/// excessive nesting are refused. Built-in containers decode their elements (and dictionary
/// keys) with the allowed classes of the container; our own classes name theirs when they
/// decode a key. Errors are PlatformErrorCode::kKeyedArchiveReadCorrupt unless stated otherwise.
class KeyedUnarchiver {
 public:
  /// Validates the archive's frame ("$archiver", "$version", "$top", "$objects" with "$null"
  /// first) before anything is decoded.
  static Result<KeyedUnarchiver> fromData(std::span<const std::uint8_t> bytes,
                                          const KeyedArchiveClassRegistry& registry);
  static Result<KeyedUnarchiver> fromPropertyList(PropertyList archive,
                                                  const KeyedArchiveClassRegistry& registry);
  // The unarchiver keeps the registry: a temporary one would be gone before the first decode.
  static Result<KeyedUnarchiver> fromData(std::span<const std::uint8_t>,
                                          const KeyedArchiveClassRegistry&&) = delete;
  static Result<KeyedUnarchiver> fromPropertyList(PropertyList,
                                                  const KeyedArchiveClassRegistry&&) = delete;

  KeyedUnarchiver(KeyedUnarchiver&&) noexcept;
  KeyedUnarchiver& operator=(KeyedUnarchiver&&) noexcept;
  ~KeyedUnarchiver();

  /// The root object; missing root is an error, an archived nil decodes as nil.
  Result<ArchivedObject> decodeTopLevelObject(const std::vector<std::u16string>& allowedClasses);
  Result<ArchivedObject> decodeTopLevelObjectForKey(
      std::u16string_view key, const std::vector<std::u16string>& allowedClasses);

  /// Readers of the current object's keys, for decoding functions. A missing key gives nil,
  /// zero, false or nothing, as on the platform; a value of another type is an error.
  bool containsValueForKey(std::u16string_view key) const;
  Result<ArchivedObject> decodeObjectForKey(std::u16string_view key,
                                            const std::vector<std::u16string>& allowedClasses);
  Result<std::optional<std::u16string>> decodeStringForKey(std::u16string_view key);
  Result<std::int64_t> decodeInt64ForKey(std::u16string_view key);
  Result<double> decodeDoubleForKey(std::u16string_view key);
  Result<float> decodeFloatForKey(std::u16string_view key);
  Result<bool> decodeBoolForKey(std::u16string_view key);
  Result<PropertyList::Data> decodeBytesForKey(std::u16string_view key);

  /// The class name of the object being decoded (empty at the top level).
  std::u16string_view currentClassName() const;

  struct State;

 private:
  explicit KeyedUnarchiver(std::unique_ptr<State> state);
  // Decoding functions get a view on the decoding in progress, which owns nothing.
  explicit KeyedUnarchiver(State* state);

  std::unique_ptr<State> ownedState_;
  State* state_ = nullptr;
};

/// Decodes the root object of archive bytes with the allowed classes, in one step.
Result<ArchivedObject> unarchivedObject(std::span<const std::uint8_t> bytes,
                                        const std::vector<std::u16string>& allowedClasses,
                                        const KeyedArchiveClassRegistry& registry);

}  // namespace zv::platform
