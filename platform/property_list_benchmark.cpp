// Serialising and parsing a metadata-shaped property list (100,000 item records of seven keys)
// with our codecs and with libplist. Peak memory is per process, so measure it one benchmark at a
// time: zelvar-benchmarks --benchmark_filter=BM_PropertyListWriteBinary_ours and so on.

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <plist/plist.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/binary_property_list.h"
#include "platform/binary_property_list_stream.h"
#include "platform/binary_property_list_view.h"
#include "platform/unicode.h"
#include "platform/xml_property_list.h"

namespace zv::platform {
namespace {

constexpr int kItemCount = 100'000;
constexpr int kLabelCount = 20;
constexpr int kGroupCount = 10;
constexpr int kGroupSize = 1'000;

std::u16string identifierFor(int item) {
  return fromUtf8("8F3C2A1E-0000-4000-8000-" + std::to_string(100'000'000'000 + item));
}

PropertyList makeMetadata() {
  PropertyList::Array items;
  items.reserve(kItemCount);
  std::vector<PropertyList::Array> labelItems(kLabelCount);
  for (int i = 0; i < kItemCount; ++i) {
    PropertyList::Dictionary record;
    record.set(u"identifier", identifierFor(i));
    record.set(u"fileURL", fromUtf8("file:///Users/someone/Library/Group%20Containers/"
                                    "Zelvar/Zelvar/Item%20" +
                                    std::to_string(i) + ".rtfd"));
    record.set(u"wasEncrypted", i % 7 == 0);
    record.set(u"isFavorite", i % 11 == 0);
    record.set(u"wasNote", true);
    record.set(u"label", fromUtf8("label-" + std::to_string(i % kLabelCount)));
    record.set(u"tags", i % 3 == 0 ? u"" : u"work,caf\u00e9,2024");
    items.emplace_back(std::move(record));
    labelItems[i % kLabelCount].emplace_back(identifierFor(i));
  }
  PropertyList::Dictionary files;
  files.set(u"name", u"Zelvar");
  files.set(u"items", std::move(items));
  files.set(u"folderURL", u"file:///Users/someone/Library/Group%20Containers/Zelvar/Zelvar/");
  PropertyList::Dictionary labels;
  for (int i = 0; i < kLabelCount; ++i) {
    const std::u16string identifier = fromUtf8("label-" + std::to_string(i));
    PropertyList::Dictionary label;
    label.set(u"name", fromUtf8("Label " + std::to_string(i)));
    label.set(u"identifier", identifier);
    label.set(u"redComponent", i / 20.0);
    label.set(u"greenComponent", 0.5);
    label.set(u"blueComponent", 1 - i / 20.0);
    label.set(u"alphaComponent", 1.0);
    label.set(u"items", std::move(labelItems[i]));
    labels.set(identifier, std::move(label));
  }
  PropertyList::Dictionary groups;
  for (int i = 0; i < kGroupCount; ++i) {
    const std::u16string identifier = fromUtf8("group-" + std::to_string(i));
    PropertyList::Array members;
    for (int j = 0; j < kGroupSize; ++j) {
      members.emplace_back(identifierFor(i * kGroupSize + j));
    }
    PropertyList::Dictionary group;
    group.set(u"name", fromUtf8("Group " + std::to_string(i)));
    group.set(u"identifier", identifier);
    group.set(u"items", std::move(members));
    groups.set(identifier, std::move(group));
  }
  PropertyList::Dictionary exporter;
  exporter.set(u"CFBundleIdentifier", u"com.example.zelvar-importer");
  exporter.set(u"CFBundleVersion", u"1");
  exporter.set(u"CFBundleShortVersionString", u"1.0");
  PropertyList::Dictionary root;
  root.set(u"Files", std::move(files));
  root.set(u"Labels", std::move(labels));
  root.set(u"Groups", std::move(groups));
  root.set(u"Searches", PropertyList::Dictionary{});
  root.set(u"Exporter", std::move(exporter));
  return PropertyList(std::move(root));
}

double megabytes(double bytes) {
  return bytes / (1024.0 * 1024.0);
}

double heapInUse() {
  return static_cast<double>(mallinfo2().uordblks);
}

double peakResidentMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

struct Sample {
  PropertyList tree;
  double treeBytes = 0;
  // Peak resident size once the tree is built, before anything is written.
  double residentWithTree = 0;
};

const Sample& sample() {
  static const Sample* const instance = [] {
    auto* built = new Sample;
    const double before = heapInUse();
    built->tree = makeMetadata();
    built->treeBytes = heapInUse() - before;
    built->residentWithTree = peakResidentMegabytes();
    return built;
  }();
  return *instance;
}

const std::vector<std::uint8_t>& binarySample() {
  static const auto* const bytes =
      new std::vector<std::uint8_t>(std::move(*writeBinaryPropertyList(sample().tree)));
  return *bytes;
}

const std::vector<std::uint8_t>& xmlSample() {
  static const auto* const bytes =
      new std::vector<std::uint8_t>(std::move(*writeXmlPropertyList(sample().tree)));
  return *bytes;
}

plist_t toLibplist(const PropertyList& value) {
  if (const auto* text = value.asString()) {
    return plist_new_string(toUtf8(*text).c_str());
  }
  if (auto boolean = value.asBoolean()) {
    return plist_new_bool(*boolean ? 1 : 0);
  }
  if (auto real = value.asReal()) {
    return plist_new_real(*real);
  }
  if (auto integer = value.asUint64()) {
    return plist_new_uint(*integer);
  }
  if (const auto* array = value.asArray()) {
    plist_t node = plist_new_array();
    for (const PropertyList& element : *array) {
      plist_array_append_item(node, toLibplist(element));
    }
    return node;
  }
  plist_t node = plist_new_dict();
  for (const auto& entry : *value.asDictionary()) {
    plist_dict_set_item(node, toUtf8(entry.key).c_str(), toLibplist(entry.value));
  }
  return node;
}

// peak_over_tree_MB is the process's peak beyond the built tree; run one benchmark per process.
// For writers it is what writing costs; readers' figures also hold the input and the tree that
// produced it.
void reportMemory(benchmark::State& state) {
  const double peak = peakResidentMegabytes();
  state.counters["tree_MB"] = megabytes(sample().treeBytes);
  state.counters["output_MB"] = megabytes(static_cast<double>(binarySample().size()));
  state.counters["peak_over_tree_MB"] = peak - sample().residentWithTree;
}

void BM_PropertyListWriteBinary_ours(benchmark::State& state) {
  const Sample& input = sample();
  for (auto _ : state) {
    auto bytes = writeBinaryPropertyList(input.tree);
    benchmark::DoNotOptimize(bytes->data());
  }
  reportMemory(state);
}
BENCHMARK(BM_PropertyListWriteBinary_ours)->Unit(benchmark::kMillisecond);

// The export's way with the same content: each record written as it is made, identifiers and
// URLs once each, keys and repeated values shared, a label's items by the object numbers of
// their identifiers; the file is a real one, so the figure holds the system calls too.
Result<std::uint64_t> streamMetadata(int output) {
  using ObjectNumber = BinaryPropertyListStreamWriter::ObjectNumber;
  ZV_ASSIGN_OR_RETURN(auto writer,
                      BinaryPropertyListStreamWriter::create(
                          output, 0xFFFF'FFFF, URL::fileURLWithFileSystemPath("/tmp", true)));
  const PropertyList::Dictionary& root = *sample().tree.asDictionary();
  const PropertyList::Dictionary& files = *root.find(u"Files")->asDictionary();
  std::vector<ObjectNumber> items;
  std::unordered_map<std::u16string, std::vector<ObjectNumber>> labelItems;
  std::vector<ObjectNumber> keys;
  std::vector<ObjectNumber> values;
  for (const PropertyList& item : *files.find(u"items")->asArray()) {
    keys.clear();
    values.clear();
    for (const auto& [key, value] : *item.asDictionary()) {
      ZV_ASSIGN_OR_RETURN(const ObjectNumber keyNumber, writer.addSharedString(key));
      keys.push_back(keyNumber);
      if (auto boolean = value.asBoolean()) {
        ZV_ASSIGN_OR_RETURN(values.emplace_back(), writer.addBoolean(*boolean));
      } else if (key == u"identifier" || key == u"fileURL") {
        ZV_ASSIGN_OR_RETURN(values.emplace_back(), writer.addString(*value.asString()));
      } else {
        ZV_ASSIGN_OR_RETURN(values.emplace_back(), writer.addSharedString(*value.asString()));
      }
    }
    labelItems[*item.find(u"label")->asString()].push_back(values[0]);
    ZV_ASSIGN_OR_RETURN(items.emplace_back(), writer.addDictionary(keys, values));
  }
  std::vector<ObjectNumber> rootKeys;
  std::vector<ObjectNumber> rootValues;
  for (const auto& [key, value] : root) {
    ZV_ASSIGN_OR_RETURN(rootKeys.emplace_back(), writer.addSharedString(key));
    if (key == u"Files") {
      ZV_ASSIGN_OR_RETURN(const ObjectNumber name, writer.addSharedString(u"name"));
      ZV_ASSIGN_OR_RETURN(const ObjectNumber itemsKey, writer.addSharedString(u"items"));
      ZV_ASSIGN_OR_RETURN(const ObjectNumber folder, writer.addSharedString(u"folderURL"));
      ZV_ASSIGN_OR_RETURN(const ObjectNumber nameValue, writer.addValue(*files.find(u"name")));
      ZV_ASSIGN_OR_RETURN(const ObjectNumber itemsValue, writer.addArray(items));
      ZV_ASSIGN_OR_RETURN(const ObjectNumber folderValue,
                          writer.addValue(*files.find(u"folderURL")));
      const ObjectNumber fileKeys[] = {name, itemsKey, folder};
      const ObjectNumber fileValues[] = {nameValue, itemsValue, folderValue};
      ZV_ASSIGN_OR_RETURN(rootValues.emplace_back(), writer.addDictionary(fileKeys, fileValues));
    } else if (key == u"Labels") {
      std::vector<ObjectNumber> labelKeys;
      std::vector<ObjectNumber> labelValues;
      for (const auto& [identifier, label] : *value.asDictionary()) {
        keys.clear();
        values.clear();
        for (const auto& [field, fieldValue] : *label.asDictionary()) {
          ZV_ASSIGN_OR_RETURN(keys.emplace_back(), writer.addSharedString(field));
          if (field == u"items") {
            ZV_ASSIGN_OR_RETURN(values.emplace_back(), writer.addArray(labelItems[identifier]));
          } else {
            ZV_ASSIGN_OR_RETURN(values.emplace_back(), writer.addValue(fieldValue));
          }
        }
        ZV_ASSIGN_OR_RETURN(labelKeys.emplace_back(), writer.addSharedString(identifier));
        ZV_ASSIGN_OR_RETURN(labelValues.emplace_back(), writer.addDictionary(keys, values));
      }
      ZV_ASSIGN_OR_RETURN(rootValues.emplace_back(), writer.addDictionary(labelKeys, labelValues));
    } else {
      ZV_ASSIGN_OR_RETURN(rootValues.emplace_back(), writer.addValue(value));
    }
  }
  ZV_ASSIGN_OR_RETURN(const ObjectNumber top, writer.addDictionary(rootKeys, rootValues));
  ZV_TRY(writer.finish(top));
  return writer.memoryBytes();
}

void BM_PropertyListWriteBinary_stream(benchmark::State& state) {
  auto output = createUnnamedScratchFile(URL::fileURLWithFileSystemPath("/tmp", true));
  if (!output) {
    state.SkipWithError("no scratch file in /tmp");
    return;
  }
  static_cast<void>(sample());
  std::uint64_t writerBytes = 0;
  for (auto _ : state) {
    if (::ftruncate(output->get(), 0) != 0 || ::lseek(output->get(), 0, SEEK_SET) != 0) {
      state.SkipWithError("cannot empty the scratch file");
      return;
    }
    auto written = streamMetadata(output->get());
    if (!written) {
      state.SkipWithError("streaming failed");
      return;
    }
    writerBytes = *written;
  }
  // Not reportMemory(): the tree writer's sample it would make would count towards our peak.
  state.counters["peak_over_tree_MB"] = peakResidentMegabytes() - sample().residentWithTree;
  state.counters["tree_MB"] = megabytes(sample().treeBytes);
  state.counters["output_MB"] = megabytes(static_cast<double>(::lseek(output->get(), 0, SEEK_END)));
  state.counters["writer_MB"] = megabytes(static_cast<double>(writerBytes));
}
BENCHMARK(BM_PropertyListWriteBinary_stream)->Unit(benchmark::kMillisecond);

void BM_PropertyListReadBinary_ours(benchmark::State& state) {
  const auto& input = binarySample();
  for (auto _ : state) {
    auto tree = readBinaryPropertyList(input);
    benchmark::DoNotOptimize(tree->type());
  }
  reportMemory(state);
}
BENCHMARK(BM_PropertyListReadBinary_ours)->Unit(benchmark::kMillisecond);

// Reads every value once, as a reader that builds a tree would: string lengths, numbers and
// entries, so that the view is not measured doing less than plistlib.loads.
std::size_t touch(const BinaryPropertyListView::Value& value) {
  switch (value.type()) {
    case PropertyList::Type::kString:
      return value.asString()->size();
    case PropertyList::Type::kArray: {
      std::size_t sum = value.size();
      for (std::size_t i = 0; i < value.size(); ++i) {
        sum += touch(value.element(i));
      }
      return sum;
    }
    case PropertyList::Type::kDictionary: {
      std::size_t sum = value.size();
      for (std::size_t i = 0; i < value.size(); ++i) {
        sum += value.key(i).size() + touch(value.value(i));
      }
      return sum;
    }
    case PropertyList::Type::kBoolean:
      return *value.asBoolean() ? 1 : 0;
    case PropertyList::Type::kReal:
      return static_cast<std::size_t>(*value.asReal());
    default:
      return value.asInteger() ? 1 : 0;
  }
}

// Opening checks the whole file; touching then reads every value in place.
void BM_PropertyListReadBinary_view(benchmark::State& state) {
  const auto& input = binarySample();
  for (auto _ : state) {
    auto view = BinaryPropertyListView::open(input);
    benchmark::DoNotOptimize(touch(view->root()));
  }
  reportMemory(state);
}
BENCHMARK(BM_PropertyListReadBinary_view)->Unit(benchmark::kMillisecond);

struct LibplistDeleter {
  void operator()(void* node) const { plist_free(node); }
};

void BM_PropertyListWriteBinary_libplist(benchmark::State& state) {
  const std::unique_ptr<void, LibplistDeleter> tree(toLibplist(sample().tree));
  for (auto _ : state) {
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(tree.get(), &bytes, &length);
    benchmark::DoNotOptimize(bytes);
    plist_to_bin_free(bytes);
  }
  reportMemory(state);
}
BENCHMARK(BM_PropertyListWriteBinary_libplist)->Unit(benchmark::kMillisecond);

void BM_PropertyListReadBinary_libplist(benchmark::State& state) {
  const auto& input = binarySample();
  for (auto _ : state) {
    plist_t tree = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(input.data()),
                   static_cast<std::uint32_t>(input.size()), &tree);
    benchmark::DoNotOptimize(tree);
    plist_free(tree);
  }
  reportMemory(state);
}
BENCHMARK(BM_PropertyListReadBinary_libplist)->Unit(benchmark::kMillisecond);

void BM_PropertyListWriteXml_ours(benchmark::State& state) {
  const Sample& input = sample();
  for (auto _ : state) {
    auto bytes = writeXmlPropertyList(input.tree);
    benchmark::DoNotOptimize(bytes->data());
  }
  state.counters["output_MB"] = megabytes(static_cast<double>(xmlSample().size()));
}
BENCHMARK(BM_PropertyListWriteXml_ours)->Unit(benchmark::kMillisecond);

void BM_PropertyListReadXml_ours(benchmark::State& state) {
  const auto& input = xmlSample();
  for (auto _ : state) {
    auto tree = readXmlPropertyList(input);
    benchmark::DoNotOptimize(tree->type());
  }
}
BENCHMARK(BM_PropertyListReadXml_ours)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zv::platform
