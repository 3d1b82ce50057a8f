#include "richtext/attributed_string.h"

#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <optional>
#include <random>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace zv::richtext {

namespace detail {

struct Run {
  std::size_t length = 0;
  std::shared_ptr<const Attributes> attributes;
};

// A chunk of neighbouring runs in the tree. The tree is a treap ordered by text position: each
// node carries its chunk and the totals of its subtree, so positions are found by descending on
// lengths. Chunks keep the tree small enough that a descent mostly stays in the cache.
struct RunNode {
  std::vector<Run> runs;
  std::size_t chunkLength = 0;
  std::size_t totalLength = 0;
  std::size_t count = 0;
  std::uint32_t priority = 0;
  RunTree left;
  RunTree right;
};

void RunNodeDeleter::operator()(RunNode* node) const {
  delete node;
}

// The dictionaries of one text, by hash of their contents; equal dictionaries are kept once.
class AttributePool {
 public:
  using Shared = std::shared_ptr<const Attributes>;

  // The pooled dictionary equal to candidate, candidate itself when there is none yet.
  Shared intern(Shared candidate);
  // As intern, copying or moving attributes only when no equal dictionary is pooled.
  template <typename Given>
  Shared intern(Given&& attributes) requires std::is_same_v<std::remove_cvref_t<Given>, Attributes>;

 private:
  const Shared* find(std::size_t hash, const Attributes& attributes) const;
  void add(std::size_t hash, Shared attributes);

  // Below this size a pool is never swept: a sweep would cost more than it frees.
  static constexpr std::size_t kFirstSweep = 256;

  std::unordered_multimap<std::size_t, Shared> entries_;
  std::size_t sweepAt_ = kFirstSweep;
};

void AttributePoolDeleter::operator()(AttributePool* pool) const {
  delete pool;
}

}  // namespace detail

namespace {

using detail::AttributePool;
using detail::Run;
using detail::RunNode;
using detail::RunTree;
using SharedAttributes = std::shared_ptr<const Attributes>;

std::size_t combine(std::size_t seed, std::size_t value) {
  return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6U) + (seed >> 2U));
}

// -0.0 equals +0.0, so both hash as +0.0; NaN equals nothing, so any hash will do.
std::size_t hashDouble(double value) {
  return std::hash<std::uint64_t>{}(std::bit_cast<std::uint64_t>(value == 0.0 ? 0.0 : value));
}

std::size_t hashString(std::u16string_view text) {
  return std::hash<std::u16string_view>{}(text);
}

std::size_t hashOf(const Font& font) {
  // Family, traits and weight take no part in equality.
  return combine(hashString(font.name), hashDouble(font.pointSize));
}

std::size_t hashOf(const Color& color) {
  std::size_t hash = static_cast<std::size_t>(color.space);
  for (const double component : {color.red, color.green, color.blue, color.alpha}) {
    hash = combine(hash, hashDouble(component));
  }
  return combine(hash, static_cast<std::size_t>(color.dynamic));
}

std::size_t hashOf(const platform::URL& url) {
  return hashString(url.absoluteString());
}

std::size_t hashOf(const ParagraphStyle& style) {
  // A few telling fields are enough: equal styles agree on all of them.
  std::size_t hash = static_cast<std::size_t>(style.alignment);
  for (const double measure : {style.lineSpacing, style.paragraphSpacing, style.headIndent,
                               style.firstLineHeadIndent, style.defaultTabInterval}) {
    hash = combine(hash, hashDouble(measure));
  }
  hash = combine(hash, style.tabStops.size());
  hash = combine(hash, style.textLists.size());
  return combine(hash, static_cast<std::size_t>(style.headerLevel));
}

std::size_t hashOf(const PresentationIntent& intent) {
  std::size_t hash = 0;
  for (const PresentationIntent* level = &intent; level != nullptr; level = level->parentIntent()) {
    hash = combine(hash, static_cast<std::size_t>(level->kind()));
    hash = combine(hash, static_cast<std::size_t>(level->identity()));
    hash = combine(hash, static_cast<std::size_t>(level->headerLevel()));
    hash = combine(hash, static_cast<std::size_t>(level->ordinal()));
    hash = combine(hash, hashString(level->languageHint()));
  }
  return hash;
}

std::size_t hashOf(const std::vector<std::int64_t>& values) {
  std::size_t hash = values.size();
  for (const std::int64_t value : values) {
    hash = combine(hash, static_cast<std::size_t>(value));
  }
  return hash;
}

std::size_t hashOf(bool value) {
  return value ? 1 : 0;
}
std::size_t hashOf(std::int64_t value) {
  return static_cast<std::size_t>(value);
}
std::size_t hashOf(double value) {
  return hashDouble(value);
}
std::size_t hashOf(const std::u16string& value) {
  return hashString(value);
}

// Runs per chunk that a rebuild aims at; a chunk never holds more.
constexpr std::size_t kChunkRuns = 16;

// Changes of attributes over at most this many runs try to stay in place.
constexpr std::size_t kInPlaceRuns = 8;

// The generator is seeded unpredictably, so no text, however its runs are laid out, can line
// priorities up into a deep tree.
std::uint32_t randomPriority() {
  thread_local std::mt19937 generator{std::random_device{}()};
  return static_cast<std::uint32_t>(generator());
}

const SharedAttributes& noAttributes() {
  static const SharedAttributes kNone = std::make_shared<const Attributes>();
  return kNone;
}

bool sameAttributes(const SharedAttributes& a, const SharedAttributes& b) {
  return a == b || *a == *b;
}

bool sameValue(const AttributeValue* a, const AttributeValue* b) {
  if (a == b) {
    return true;
  }
  if (a == nullptr || b == nullptr) {
    return false;
  }
  return *a == *b;
}

const AttributeValue* valueIn(const Attributes& attributes, std::u16string_view key) {
  auto found = attributes.find(key);
  return found == attributes.end() ? nullptr : &found->second;
}

std::size_t totalLength(const RunTree& tree) {
  return tree ? tree->totalLength : 0;
}
std::size_t countOf(const RunTree& tree) {
  return tree ? tree->count : 0;
}

void update(RunNode& node) {
  node.totalLength = node.chunkLength + totalLength(node.left) + totalLength(node.right);
  node.count = node.runs.size() + countOf(node.left) + countOf(node.right);
}

RunTree makeNode(std::vector<Run> runs) {
  RunTree node(new RunNode);
  node->runs = std::move(runs);
  for (const Run& run : node->runs) {
    node->chunkLength += run.length;
  }
  node->priority = randomPriority();
  update(*node);
  return node;
}

RunTree clone(const RunNode* node) {
  if (node == nullptr) {
    return {};
  }
  RunTree copy(new RunNode);
  copy->runs = node->runs;
  copy->chunkLength = node->chunkLength;
  copy->totalLength = node->totalLength;
  copy->count = node->count;
  copy->priority = node->priority;
  copy->left = clone(node->left.get());
  copy->right = clone(node->right.get());
  return copy;
}

// Joins two trees, every run of first before every run of second.
RunTree merge(RunTree first, RunTree second) {
  if (!first) {
    return second;
  }
  if (!second) {
    return first;
  }
  if (first->priority > second->priority) {
    first->right = merge(std::move(first->right), std::move(second));
    update(*first);
    return first;
  }
  second->left = merge(std::move(first), std::move(second->left));
  update(*second);
  return second;
}

// Cuts a tree at a text position; a run across the position becomes two runs that share its
// attributes, and its chunk two chunks.
std::pair<RunTree, RunTree> split(RunTree tree, std::size_t position) {
  if (!tree) {
    return {};
  }
  const std::size_t leftLength = totalLength(tree->left);
  if (position <= leftLength) {
    auto [before, after] = split(std::move(tree->left), position);
    tree->left = std::move(after);
    update(*tree);
    return {std::move(before), std::move(tree)};
  }
  const std::size_t end = leftLength + tree->chunkLength;
  if (position >= end) {
    auto [before, after] = split(std::move(tree->right), position - end);
    tree->right = std::move(before);
    update(*tree);
    return {std::move(tree), std::move(after)};
  }
  std::size_t offset = position - leftLength;
  std::size_t index = 0;
  while (offset >= tree->runs[index].length) {
    offset -= tree->runs[index].length;
    ++index;
  }
  std::vector<Run> tail;
  if (offset > 0) {
    Run& cut = tree->runs[index];
    tail.push_back({cut.length - offset, cut.attributes});
    cut.length = offset;
    ++index;
  }
  const auto from = tree->runs.begin() + static_cast<std::ptrdiff_t>(index);
  std::move(from, tree->runs.end(), std::back_inserter(tail));
  tree->runs.erase(from, tree->runs.end());
  tree->chunkLength = position - leftLength;
  RunTree after = merge(makeNode(std::move(tail)), std::move(tree->right));
  update(*tree);
  return {std::move(tree), std::move(after)};
}

// Takes the first (or last) chunk out of a tree.
std::vector<Run> popFirst(RunTree& tree) {
  if (!tree) {
    return {};
  }
  if (!tree->left) {
    std::vector<Run> runs = std::move(tree->runs);
    tree = std::move(tree->right);
    return runs;
  }
  std::vector<Run> runs = popFirst(tree->left);
  update(*tree);
  return runs;
}

std::vector<Run> popLast(RunTree& tree) {
  if (!tree) {
    return {};
  }
  if (!tree->right) {
    std::vector<Run> runs = std::move(tree->runs);
    tree = std::move(tree->left);
    return runs;
  }
  std::vector<Run> runs = popLast(tree->right);
  update(*tree);
  return runs;
}

void collect(const RunNode* node, std::vector<Run>& runs) {
  if (node == nullptr) {
    return;
  }
  collect(node->left.get(), runs);
  runs.insert(runs.end(), node->runs.begin(), node->runs.end());
  collect(node->right.get(), runs);
}

// Builds the treap of runs in linear time, cut into chunks of even size, keeping the right
// spine on a stack: each new chunk climbs the spine past the nodes of lower priority and takes
// them as its left subtree.
RunTree build(std::vector<Run>& runs) {
  RunTree root;
  std::vector<RunNode*> spine;
  const std::size_t chunks = (runs.size() + kChunkRuns - 1) / kChunkRuns;
  for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
    const auto first = runs.begin() + static_cast<std::ptrdiff_t>(runs.size() * chunk / chunks);
    const auto last =
        runs.begin() + static_cast<std::ptrdiff_t>(runs.size() * (chunk + 1) / chunks);
    RunTree node =
        makeNode(std::vector<Run>(std::make_move_iterator(first), std::make_move_iterator(last)));
    while (!spine.empty() && spine.back()->priority < node->priority) {
      update(*spine.back());
      spine.pop_back();
    }
    RunNode* added = node.get();
    RunTree& owner = spine.empty() ? root : spine.back()->right;
    node->left = std::move(owner);
    owner = std::move(node);
    spine.push_back(added);
  }
  while (!spine.empty()) {
    update(*spine.back());
    spine.pop_back();
  }
  return root;
}

// Drops empty runs and joins equal neighbours: the invariant every change restores.
void normalise(std::vector<Run>& runs) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (runs[i].length == 0) {
      continue;
    }
    if (kept > 0 && sameAttributes(runs[kept - 1].attributes, runs[i].attributes)) {
      runs[kept - 1].length += runs[i].length;
      continue;
    }
    if (kept != i) {
      runs[kept] = std::move(runs[i]);
    }
    ++kept;
  }
  runs.erase(runs.begin() + static_cast<std::ptrdiff_t>(kept), runs.end());
}

// The node holding position, which must lie inside the text, with the offset of position in
// its chunk.
std::pair<const RunNode*, std::size_t> nodeAt(const RunNode* root, std::size_t position,
                                              std::vector<const RunNode*>* path) {
  const RunNode* node = root;
  std::size_t offset = position;
  while (true) {
    if (path != nullptr) {
      path->push_back(node);
    }
    const std::size_t leftLength = totalLength(node->left);
    if (offset < leftLength) {
      node = node->left.get();
      continue;
    }
    offset -= leftLength;
    if (offset < node->chunkLength) {
      return {node, offset};
    }
    offset -= node->chunkLength;
    node = node->right.get();
  }
}

// The index in node's chunk of the run at offset, and where that run starts in the chunk.
std::pair<std::size_t, std::size_t> runInChunk(const RunNode& node, std::size_t offset) {
  std::size_t index = 0;
  std::size_t start = 0;
  while (offset >= start + node.runs[index].length) {
    start += node.runs[index].length;
    ++index;
  }
  return {index, start};
}

// The run holding position, which must lie inside the text, and where that run starts: a plain
// descent for lookups that need no neighbours.
std::pair<const Run*, std::size_t> runAt(const RunNode* root, std::size_t position) {
  const auto [node, offset] = nodeAt(root, position, nullptr);
  const auto [index, start] = runInChunk(*node, offset);
  return {&node->runs[index], position - offset + start};
}

// A place in the tree: the path from the root to one run, so that neighbours are found in
// amortised constant time. Valid only while the tree does not change.
class RunCursor {
 public:
  // position must lie inside the text.
  RunCursor(const RunNode* root, std::size_t position) {
    path_.reserve(64);
    reset(root, position);
  }

  // Moves to another position, reusing the path's storage.
  void reset(const RunNode* root, std::size_t position) {
    path_.clear();
    const auto [node, offset] = nodeAt(root, position, &path_);
    const auto [index, start] = runInChunk(*node, offset);
    index_ = index;
    start_ = position - offset + start;
  }

  const Run& run() const { return path_.back()->runs[index_]; }
  // The run itself, for a text that changes its own tree in place.
  Run& mutableRun() const { return const_cast<Run&>(run()); }
  std::size_t start() const { return start_; }
  std::size_t end() const { return start_ + run().length; }

  bool next() {
    if (end() >= path_.front()->totalLength) {
      return false;
    }
    start_ = end();
    if (index_ + 1 < path_.back()->runs.size()) {
      ++index_;
      return true;
    }
    stepToNeighbour(&RunNode::right, &RunNode::left);
    index_ = 0;
    return true;
  }

  bool previous() {
    if (start_ == 0) {
      return false;
    }
    if (index_ > 0) {
      --index_;
    } else {
      stepToNeighbour(&RunNode::left, &RunNode::right);
      index_ = path_.back()->runs.size() - 1;
    }
    start_ -= run().length;
    return true;
  }

 private:
  // Moves to the neighbouring node in order, on the side `ahead` names (right for the next
  // one): the nearest node of that subtree, or else the first ancestor this node lies behind.
  void stepToNeighbour(RunTree RunNode::*ahead, RunTree RunNode::*behind) {
    const RunNode* node = path_.back();
    if (node->*ahead) {
      node = (node->*ahead).get();
      path_.push_back(node);
      while (node->*behind) {
        node = (node->*behind).get();
        path_.push_back(node);
      }
      return;
    }
    const RunNode* child = nullptr;
    do {
      child = path_.back();
      path_.pop_back();
    } while ((path_.back()->*behind).get() != child);
  }

  std::vector<const RunNode*> path_;
  std::size_t index_ = 0;
  std::size_t start_ = 0;
};

std::vector<Run> runsOf(const RunTree& tree) {
  std::vector<Run> runs;
  runs.reserve(countOf(tree));
  collect(tree.get(), runs);
  return runs;
}

}  // namespace

std::size_t hashAttributeValue(const AttributeValue& value) {
  return combine(value.index(), std::visit([](const auto& held) { return hashOf(held); }, value));
}

std::size_t hashAttributes(const Attributes& attributes) {
  std::size_t hash = attributes.size();
  for (const auto& [key, value] : attributes) {
    hash = combine(hash, hashString(key));
    hash = combine(hash, hashAttributeValue(value));
  }
  return hash;
}

namespace detail {

const AttributePool::Shared* AttributePool::find(std::size_t hash,
                                                 const Attributes& attributes) const {
  const auto [first, last] = entries_.equal_range(hash);
  for (auto entry = first; entry != last; ++entry) {
    if (*entry->second == attributes) {
      return &entry->second;
    }
  }
  return nullptr;
}

void AttributePool::add(std::size_t hash, Shared attributes) {
  if (entries_.size() >= sweepAt_) {
    // Only the pool still holds these; no run of this text (or of any copy) uses them.
    std::erase_if(entries_, [](const auto& entry) { return entry.second.use_count() == 1; });
    sweepAt_ = std::max(kFirstSweep, 2 * entries_.size());
  }
  entries_.emplace(hash, std::move(attributes));
}

AttributePool::Shared AttributePool::intern(Shared candidate) {
  if (candidate->empty()) {
    return noAttributes();
  }
  const std::size_t hash = hashAttributes(*candidate);
  if (const Shared* pooled = find(hash, *candidate)) {
    return *pooled;
  }
  add(hash, candidate);
  return candidate;
}

template <typename Given>
AttributePool::Shared AttributePool::intern(
    Given&& attributes) requires std::is_same_v<std::remove_cvref_t<Given>, Attributes> {
  if (attributes.empty()) {
    return noAttributes();
  }
  const std::size_t hash = hashAttributes(attributes);
  if (const Shared* pooled = find(hash, attributes)) {
    return *pooled;
  }
  auto shared = std::make_shared<const Attributes>(std::forward<Given>(attributes));
  add(hash, shared);
  return shared;
}

}  // namespace detail

namespace {

// Interns the runs' dictionaries, hashing each distinct one once: runs of another text share
// their dictionaries already.
void internRuns(AttributePool& pool, std::vector<Run>& runs) {
  std::unordered_map<const Attributes*, SharedAttributes> interned;
  for (Run& run : runs) {
    auto [entry, added] = interned.try_emplace(run.attributes.get());
    if (added) {
      entry->second = pool.intern(run.attributes);
    }
    run.attributes = entry->second;
  }
}

}  // namespace

detail::AttributePool& AttributedString::pool() {
  if (!pool_) {
    pool_.reset(new detail::AttributePool);
  }
  return *pool_;
}

AttributedString::AttributedString() = default;

AttributedString::AttributedString(std::u16string string, Attributes attributes)
    : string_(std::move(string)) {
  if (!string_.empty()) {
    runs_ = makeNode({{string_.size(), pool().intern(std::move(attributes))}});
  }
}

AttributedString::AttributedString(const AttributedString& other)
    : string_(other.string_),
      runs_(clone(other.runs_.get())),
      pool_(other.pool_ ? new detail::AttributePool(*other.pool_) : nullptr) {}

AttributedString::AttributedString(AttributedString&& other) noexcept
    : string_(std::move(other.string_)),
      runs_(std::move(other.runs_)),
      pool_(std::move(other.pool_)) {
  other.string_.clear();
  other.changed();
}

AttributedString& AttributedString::operator=(const AttributedString& other) {
  if (this != &other) {
    string_ = other.string_;
    runs_ = clone(other.runs_.get());
    pool_.reset(other.pool_ ? new detail::AttributePool(*other.pool_) : nullptr);
    changed();
  }
  return *this;
}

AttributedString& AttributedString::operator=(AttributedString&& other) noexcept {
  if (this != &other) {
    string_ = std::move(other.string_);
    runs_ = std::move(other.runs_);
    pool_ = std::move(other.pool_);
    other.string_.clear();
    other.changed();
    changed();
  }
  return *this;
}

AttributedString::~AttributedString() = default;

std::size_t AttributedString::runCount() const {
  return countOf(runs_);
}

std::vector<AttributeRun> AttributedString::runs() const {
  std::vector<AttributeRun> result;
  result.reserve(runCount());
  std::size_t position = 0;
  for (const Run& run : runsOf(runs_)) {
    result.push_back({{position, run.length}, *run.attributes});
    position += run.length;
  }
  return result;
}

Range AttributedString::clamped(Range range) const {
  const std::size_t start = std::min(range.location, string_.size());
  const std::size_t available = string_.size() - start;
  return {start, std::min(range.length, available)};
}

const Attributes& AttributedString::attributesAtIndex(std::size_t index,
                                                      Range* effectiveRange) const {
  if (index >= string_.size()) {
    if (effectiveRange != nullptr) {
      *effectiveRange = {string_.size(), 0};
    }
    return *noAttributes();
  }
  const auto [run, start] = runAt(runs_.get(), index);
  if (effectiveRange != nullptr) {
    *effectiveRange = {start, run->length};
  }
  return *run->attributes;
}

const AttributeValue* AttributedString::attributeAtIndex(std::u16string_view key, std::size_t index,
                                                         Range* effectiveRange) const {
  return attributeAtIndex(key, index, effectiveRange, {0, string_.size()});
}

const AttributeValue* AttributedString::attributeAtIndex(std::u16string_view key, std::size_t index,
                                                         Range* longestEffectiveRange,
                                                         Range limit) const {
  if (index >= string_.size()) {
    if (longestEffectiveRange != nullptr) {
      *longestEffectiveRange = {string_.size(), 0};
    }
    return nullptr;
  }
  if (longestEffectiveRange == nullptr) {
    return valueIn(*runAt(runs_.get(), index).first->attributes, key);
  }
  const RunCursor cursor(runs_.get(), index);
  const AttributeValue* value = valueIn(*cursor.run().attributes, key);
  const Range window = clamped(limit);
  if (index < window.location || index >= window.end()) {
    *longestEffectiveRange = {index, 0};
    return value;
  }
  std::size_t begin = cursor.start();
  for (RunCursor back = cursor; begin > window.location && back.previous() &&
                                sameValue(valueIn(*back.run().attributes, key), value);) {
    begin = back.start();
  }
  std::size_t end = cursor.end();
  for (RunCursor forward = cursor; end < window.end() && forward.next() &&
                                   sameValue(valueIn(*forward.run().attributes, key), value);) {
    end = forward.end();
  }
  begin = std::max(begin, window.location);
  end = std::min(end, window.end());
  *longestEffectiveRange = {begin, end - begin};
  return value;
}

void AttributedString::enumerateAttributesInRange(Range range,
                                                  const AttributesVisitor& visitor) const {
  const Range window = clamped(range);
  std::optional<RunCursor> cursor;
  std::uint64_t seen = version_;
  for (std::size_t position = window.location; position < std::min(window.end(), string_.size());) {
    // Runs are always merged, so each node is one maximal run; after a change by the visitor
    // the path may be stale and is found again.
    if (cursor && seen == version_) {
      cursor->next();
    } else if (cursor) {
      cursor->reset(runs_.get(), position);
      seen = version_;
    } else {
      cursor.emplace(runs_.get(), position);
      seen = version_;
    }
    // Held so that the visitor may replace the run's attributes while it reads them.
    const SharedAttributes attributes = cursor->run().attributes;
    const std::size_t end = std::min(cursor->end(), window.end());
    bool stop = false;
    visitor(*attributes, {position, end - position}, stop);
    if (stop) {
      return;
    }
    position = end;
  }
}

void AttributedString::enumerateAttribute(std::u16string_view key, Range range,
                                          const AttributeVisitor& visitor) const {
  const Range window = clamped(range);
  std::optional<RunCursor> cursor;
  std::uint64_t seen = version_;
  for (std::size_t position = window.location; position < std::min(window.end(), string_.size());) {
    // An unchanged tree leaves the cursor on the run where the last stretch ended.
    if (!cursor) {
      cursor.emplace(runs_.get(), position);
      seen = version_;
    } else if (seen != version_) {
      cursor->reset(runs_.get(), position);
      seen = version_;
    }
    const std::size_t limit = std::min(window.end(), string_.size());
    const SharedAttributes attributes = cursor->run().attributes;
    const AttributeValue* value = valueIn(*attributes, key);
    std::size_t end = std::min(cursor->end(), limit);
    while (end < limit && cursor->next() &&
           sameValue(valueIn(*cursor->run().attributes, key), value)) {
      end = std::min(cursor->end(), limit);
    }
    bool stop = false;
    visitor(value, {position, end - position}, stop);
    if (stop) {
      return;
    }
    position = end;
  }
}

AttributedString AttributedString::attributedSubstringFromRange(Range range) const {
  const Range window = clamped(range);
  AttributedString result;
  if (window.length == 0) {
    return result;
  }
  result.string_ = string_.substr(window.location, window.length);
  std::vector<Run> runs;
  RunCursor cursor(runs_.get(), window.location);
  do {
    const std::size_t begin = std::max(cursor.start(), window.location);
    const std::size_t end = std::min(cursor.end(), window.end());
    runs.push_back({end - begin, cursor.run().attributes});
  } while (cursor.end() < window.end() && cursor.next());
  internRuns(result.pool(), runs);
  result.runs_ = build(runs);
  return result;
}

AttributedString AttributedString::attributedStringKeepingAttributeNames(
    const std::set<std::u16string, std::less<>>& names) const {
  AttributedString copy;
  copy.string_ = string_;
  std::vector<Run> runs = runsOf(runs_);
  // Each distinct dictionary is filtered once.
  std::unordered_map<const Attributes*, SharedAttributes> filtered;
  for (Run& run : runs) {
    auto [entry, added] = filtered.try_emplace(run.attributes.get());
    if (added) {
      Attributes kept;
      for (const auto& [key, value] : *run.attributes) {
        if (names.contains(key)) {
          kept.emplace(key, value);
        }
      }
      entry->second = kept.size() == run.attributes->size() ? copy.pool().intern(run.attributes)
                                                            : copy.pool().intern(std::move(kept));
    }
    run.attributes = entry->second;
  }
  normalise(runs);
  copy.runs_ = build(runs);
  return copy;
}

bool operator==(const AttributedString& a, const AttributedString& b) {
  if (a.string_ != b.string_ || a.runCount() != b.runCount()) {
    return false;
  }
  const std::vector<Run> first = runsOf(a.runs_);
  const std::vector<Run> second = runsOf(b.runs_);
  return std::equal(first.begin(), first.end(), second.begin(), [](const Run& x, const Run& y) {
    return x.length == y.length && sameAttributes(x.attributes, y.attributes);
  });
}

// Cuts the runs of range out of the tree, lets edit rewrite them (as a list, possibly of another
// total length), then puts them back between the runs on either side, merging equal neighbours
// across both joins.
template <typename Edit>
void MutableAttributedString::editRuns(Range range, Edit edit) {
  auto [before, rest] = split(std::move(runs_), range.location);
  auto [middle, after] = split(std::move(rest), range.length);
  std::vector<Run> edited = runsOf(middle);
  middle.reset();
  edit(edited);
  // The chunks on either side are rebuilt with the edited runs, so that edits do not leave ever
  // smaller chunks behind.
  std::vector<Run> joined = popLast(before);
  std::move(edited.begin(), edited.end(), std::back_inserter(joined));
  std::vector<Run> first = popFirst(after);
  std::move(first.begin(), first.end(), std::back_inserter(joined));
  normalise(joined);
  runs_ = merge(merge(std::move(before), build(joined)), std::move(after));
  changed();
}

// Changes the dictionaries of the few whole runs that make up range without cutting the tree,
// when no changed run comes to equal a neighbour (which would have to merge). Dictionaries are
// pooled, so equal means the same pointer. False, with nothing changed, when this does not apply.
template <typename Change>
bool MutableAttributedString::changeInPlace(Range range, Change change) {
  RunCursor cursor(runs_.get(), range.location);
  if (cursor.start() != range.location) {
    return false;
  }
  const Attributes* before =
      range.location > 0 ? runAt(runs_.get(), range.location - 1).first->attributes.get() : nullptr;
  std::array<std::pair<Run*, SharedAttributes>, kInPlaceRuns> changes;
  std::size_t count = 0;
  while (true) {
    if (count == kInPlaceRuns || cursor.end() > range.end()) {
      return false;
    }
    SharedAttributes result = change(cursor.run().attributes);
    if (result.get() == before) {
      return false;
    }
    before = result.get();
    changes[count++] = {&cursor.mutableRun(), std::move(result)};
    if (cursor.end() == range.end()) {
      break;
    }
    cursor.next();
  }
  if (cursor.next() && cursor.run().attributes.get() == before) {
    return false;
  }
  for (std::size_t index = 0; index < count; ++index) {
    changes[index].first->attributes = std::move(changes[index].second);
  }
  return true;
}

template <typename Change>
void MutableAttributedString::changeAttributes(Range range, Change change) {
  const Range target = clamped(range);
  if (target.length == 0) {
    return;
  }
  AttributePool& attributes = pool();
  if (changeInPlace(target, [&change, &attributes](const SharedAttributes& current) {
        SharedAttributes result = change(current);
        return result == current ? result : attributes.intern(std::move(result));
      })) {
    changed();
    return;
  }
  editRuns(target, [&change, &attributes](std::vector<Run>& runs) {
    if (runs.size() <= kInPlaceRuns) {
      for (Run& run : runs) {
        SharedAttributes result = change(run.attributes);
        run.attributes =
            result == run.attributes ? std::move(result) : attributes.intern(std::move(result));
      }
      return;
    }
    // Runs that share a dictionary share its changed one too, which is worked out once. The
    // original is held, so that its address stays its own while the map uses it.
    std::unordered_map<const Attributes*, std::pair<SharedAttributes, SharedAttributes>> results;
    for (Run& run : runs) {
      auto [entry, added] = results.try_emplace(run.attributes.get());
      if (added) {
        SharedAttributes result = change(run.attributes);
        entry->second = {run.attributes, result == run.attributes
                                             ? std::move(result)
                                             : attributes.intern(std::move(result))};
      }
      run.attributes = entry->second.second;
    }
  });
}

void MutableAttributedString::setAttributes(const Attributes& attributes, Range range) {
  const Range target = clamped(range);
  if (target.length == 0) {
    return;
  }
  const SharedAttributes shared = pool().intern(attributes);
  editRuns(target, [&](std::vector<Run>& runs) { runs.assign(1, Run{target.length, shared}); });
}

void MutableAttributedString::addAttribute(std::u16string_view key, const AttributeValue& value,
                                           Range range) {
  changeAttributes(range, [key, &value](const SharedAttributes& current) -> SharedAttributes {
    if (const AttributeValue* old = valueIn(*current, key); old != nullptr && *old == value) {
      return current;
    }
    auto edited = std::make_shared<Attributes>(*current);
    edited->insert_or_assign(std::u16string(key), value);
    return edited;
  });
}

void MutableAttributedString::addAttributes(const Attributes& attributes, Range range) {
  if (attributes.empty()) {
    return;
  }
  changeAttributes(range, [&attributes](const SharedAttributes& current) -> SharedAttributes {
    const bool hasAll =
        std::all_of(attributes.begin(), attributes.end(), [&current](const auto& entry) {
          return sameValue(valueIn(*current, entry.first), &entry.second);
        });
    if (hasAll) {
      return current;
    }
    auto edited = std::make_shared<Attributes>(*current);
    for (const auto& [key, value] : attributes) {
      edited->insert_or_assign(key, value);
    }
    return edited;
  });
}

void MutableAttributedString::removeAttribute(std::u16string_view key, Range range) {
  changeAttributes(range, [key](const SharedAttributes& current) -> SharedAttributes {
    if (valueIn(*current, key) == nullptr) {
      return current;
    }
    auto edited = std::make_shared<Attributes>(*current);
    edited->erase(edited->find(key));
    return edited;
  });
}

void MutableAttributedString::replaceCharactersInRange(Range range, std::u16string_view text) {
  const Range target = clamped(range);
  if (target.length == 0 && text.empty()) {
    return;
  }
  // The view may point into our own characters, which the replacement moves.
  const std::less<const char16_t*> before;
  if (!before(text.data(), string_.data()) &&
      before(text.data(), string_.data() + string_.size())) {
    replaceCharactersInRange(range, std::u16string(text));
    return;
  }
  SharedAttributes attributes = noAttributes();
  if (!string_.empty()) {
    const std::size_t source =
        target.length > 0 || target.location == 0 ? target.location : target.location - 1;
    attributes = runAt(runs_.get(), source).first->attributes;
  }
  string_.replace(target.location, target.length, text);
  editRuns(target, [&](std::vector<Run>& runs) {
    runs.clear();
    runs.push_back({text.size(), std::move(attributes)});
  });
}

void MutableAttributedString::replaceCharactersInRange(Range range, const AttributedString& text) {
  if (&text == this) {
    replaceCharactersInRange(range, AttributedString(text));
    return;
  }
  const Range target = clamped(range);
  if (target.length == 0 && text.empty()) {
    return;
  }
  std::vector<Run> inserted = runsOf(text.runs_);
  internRuns(pool(), inserted);
  string_.replace(target.location, target.length, text.string_);
  editRuns(target, [&inserted](std::vector<Run>& runs) { runs = std::move(inserted); });
}

void MutableAttributedString::insertAttributedString(const AttributedString& text,
                                                     std::size_t index) {
  replaceCharactersInRange(Range{index, 0}, text);
}

void MutableAttributedString::deleteCharactersInRange(Range range) {
  replaceCharactersInRange(range, std::u16string_view());
}

void MutableAttributedString::appendAttributedString(const AttributedString& text) {
  replaceCharactersInRange(Range{string_.size(), 0}, text);
}

void MutableAttributedString::appendString(std::u16string_view text, const Attributes& attributes) {
  if (text.empty()) {
    return;
  }
  // Appending run by run with the same attributes skips the pool.
  SharedAttributes shared;
  if (!string_.empty()) {
    const SharedAttributes& last = runAt(runs_.get(), string_.size() - 1).first->attributes;
    if (*last == attributes) {
      shared = last;
    }
  }
  if (!shared) {
    shared = pool().intern(attributes);
  }
  const Range end{string_.size(), 0};
  string_ += text;
  editRuns(end, [&](std::vector<Run>& runs) { runs.assign(1, Run{text.size(), shared}); });
}

}  // namespace zv::richtext
