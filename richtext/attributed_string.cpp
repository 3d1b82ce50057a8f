#include "richtext/attributed_string.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <random>
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

}  // namespace detail

namespace {

using detail::Run;
using detail::RunNode;
using detail::RunTree;
using SharedAttributes = std::shared_ptr<const Attributes>;

// Runs per chunk that a rebuild aims at; a chunk never holds more.
constexpr std::size_t kChunkRuns = 16;

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
  if (a == nullptr || b == nullptr) {
    return a == b;
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
    const auto [node, offset] = nodeAt(root, position, &path_);
    const auto [index, start] = runInChunk(*node, offset);
    index_ = index;
    start_ = position - offset + start;
  }

  const Run& run() const { return path_.back()->runs[index_]; }
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
    const RunNode* node = path_.back();
    if (node->right) {
      node = node->right.get();
      path_.push_back(node);
      while (node->left) {
        node = node->left.get();
        path_.push_back(node);
      }
    } else {
      const RunNode* child = nullptr;
      do {
        child = path_.back();
        path_.pop_back();
      } while (path_.back()->left.get() != child);
    }
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
      const RunNode* node = path_.back();
      if (node->left) {
        node = node->left.get();
        path_.push_back(node);
        while (node->right) {
          node = node->right.get();
          path_.push_back(node);
        }
      } else {
        const RunNode* child = nullptr;
        do {
          child = path_.back();
          path_.pop_back();
        } while (path_.back()->right.get() != child);
      }
      index_ = path_.back()->runs.size() - 1;
    }
    start_ -= run().length;
    return true;
  }

 private:
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

AttributedString::AttributedString() = default;

AttributedString::AttributedString(std::u16string string, Attributes attributes)
    : string_(std::move(string)) {
  if (!string_.empty()) {
    runs_ = makeNode({{string_.size(), std::make_shared<const Attributes>(std::move(attributes))}});
  }
}

AttributedString::AttributedString(const AttributedString& other)
    : string_(other.string_), runs_(clone(other.runs_.get())) {}

AttributedString::AttributedString(AttributedString&& other) noexcept
    : string_(std::move(other.string_)), runs_(std::move(other.runs_)) {
  other.string_.clear();
  other.changed();
}

AttributedString& AttributedString::operator=(const AttributedString& other) {
  if (this != &other) {
    string_ = other.string_;
    runs_ = clone(other.runs_.get());
    changed();
  }
  return *this;
}

AttributedString& AttributedString::operator=(AttributedString&& other) noexcept {
  if (this != &other) {
    string_ = std::move(other.string_);
    runs_ = std::move(other.runs_);
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
    if (!cursor || seen != version_) {
      cursor.emplace(runs_.get(), position);
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
  result.runs_ = build(runs);
  return result;
}

AttributedString AttributedString::attributedStringKeepingAttributeNames(
    const std::set<std::u16string, std::less<>>& names) const {
  AttributedString copy;
  copy.string_ = string_;
  std::vector<Run> runs = runsOf(runs_);
  for (Run& run : runs) {
    const bool keepsAll =
        std::all_of(run.attributes->begin(), run.attributes->end(),
                    [&names](const auto& entry) { return names.contains(entry.first); });
    if (keepsAll) {
      continue;
    }
    auto kept = std::make_shared<Attributes>();
    for (const auto& [key, value] : *run.attributes) {
      if (names.contains(key)) {
        kept->emplace(key, value);
      }
    }
    run.attributes = std::move(kept);
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

template <typename Change>
void MutableAttributedString::changeAttributes(Range range, Change change) {
  const Range target = clamped(range);
  if (target.length == 0) {
    return;
  }
  editRuns(target, [&change](std::vector<Run>& runs) {
    for (Run& run : runs) {
      run.attributes = change(run.attributes);
    }
  });
}

void MutableAttributedString::setAttributes(const Attributes& attributes, Range range) {
  const Range target = clamped(range);
  if (target.length == 0) {
    return;
  }
  const SharedAttributes shared = std::make_shared<const Attributes>(attributes);
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
  // Appending run by run with the same attributes shares one dictionary.
  SharedAttributes shared;
  if (!string_.empty()) {
    const SharedAttributes& last = runAt(runs_.get(), string_.size() - 1).first->attributes;
    if (*last == attributes) {
      shared = last;
    }
  }
  if (!shared) {
    shared = std::make_shared<const Attributes>(attributes);
  }
  const Range end{string_.size(), 0};
  string_ += text;
  editRuns(end, [&](std::vector<Run>& runs) { runs.assign(1, Run{text.size(), shared}); });
}

}  // namespace zv::richtext
