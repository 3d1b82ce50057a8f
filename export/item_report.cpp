#include "export/item_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/retry_on_interrupt.h"
#include "platform/unicode.h"

namespace zv::exporter {

using platform::Error;

namespace {

// Named once: the writer and the reader must agree on every key and column.
constexpr char kHeadingReportKey[] = "report";
constexpr char kHeadingReportValue[] = "zelvar-export";
constexpr char kVersionKey[] = "version";
constexpr char kIdKey[] = "id";
constexpr char kKindKey[] = "kind";
constexpr char kNameKey[] = "name";
constexpr char kOutcomeKey[] = "outcome";
constexpr char kReasonKey[] = "reason";
constexpr char kFileKey[] = "file";
constexpr char kSizeKey[] = "size";
constexpr char kSha256Key[] = "sha256";
constexpr char kCompleteKey[] = "complete";
constexpr char kErrorKey[] = "error";
constexpr char kItemsKey[] = "items";
constexpr char kExportedKey[] = "exported";
constexpr char kConvertedKey[] = "converted";
constexpr char kSkippedKey[] = "skipped";
// The CSV columns, in order; the first says what the row is: "version", "item" or "end".
constexpr char kCsvHeading[] = "record,id,kind,name,outcome,reason,file,size,sha256";
constexpr std::size_t kCsvColumns = 9;
// Exported files lie in the root folder, named so inside the export folder.
constexpr char kRootFolderName[] = "Zelvar";
constexpr std::size_t kReadChunkSize = std::size_t{64} << 10;

Error reportError(std::u16string description) {
  return Error{u"ZVReportErrorDomain", 1, std::move(description)};
}

std::string outcomeText(PlannedOutcome outcome) {
  switch (outcome) {
    case PlannedOutcome::exported:
      return "exported";
    case PlannedOutcome::converted:
      return "converted";
    case PlannedOutcome::skipped:
      return "skipped";
  }
  return {};
}

std::string csvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
    return std::string(text);
  }
  std::string quoted = "\"";
  for (const char character : text) {
    quoted += character;
    if (character == '"') {
      quoted += '"';
    }
  }
  return quoted + "\"";
}

// A record as ordered (key, already encoded JSON value) pairs, written in either format.
using Fields = std::vector<std::pair<const char*, std::string>>;

std::string jsonObject(const Fields& fields) {
  std::string line = "{";
  for (const auto& [key, value] : fields) {
    if (line.size() > 1) {
      line += ',';
    }
    line += jsonString(key) + ":" + value;
  }
  return line + "}\n";
}

std::string csvRow(std::initializer_list<std::string_view> columns) {
  std::string row;
  bool first = true;
  for (const std::string_view column : columns) {
    if (!std::exchange(first, false)) {
      row += ',';
    }
    row += csvField(column);
  }
  return row + "\n";
}

}  // namespace

std::string jsonString(std::string_view text) {
  std::string quoted = "\"";
  for (const char character : text) {
    const auto byte = static_cast<unsigned char>(character);
    if (character == '"' || character == '\\') {
      quoted += '\\';
      quoted += character;
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      quoted += escaped;
    } else {
      quoted += character;
    }
  }
  return quoted + "\"";
}

std::optional<ReportFormat> reportFormatForPath(const std::filesystem::path& path) {
  const std::string extension = path.extension().string();
  if (extension == ".jsonl") {
    return ReportFormat::jsonLines;
  }
  if (extension == ".csv") {
    return ReportFormat::csv;
  }
  return std::nullopt;
}

platform::Result<std::shared_ptr<ItemReportWriter>> ItemReportWriter::create(
    const std::filesystem::path& reportFile, ReportFormat format) {
  const std::string name = reportFile.filename().string();
  if (name.empty() || name == "." || name == "..") {
    return reportError(u"the report needs a file name");
  }
  const std::filesystem::path folderPath =
      reportFile.has_parent_path() ? reportFile.parent_path() : std::filesystem::path(".");
  platform::ScopedDescriptor folder(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) {
    return platform::makeFileErrorFromErrno(errno, folderPath.string());
  }
  struct stat status {};
  if (::fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
    return reportError(platform::fromUtf8(reportFile.string()) +
                       u" exists already; a report never replaces a file");
  }
  // Hidden and named after its report and this process, so that it is seen as what it is; a
  // name that is taken (a link planted in its place included) is never opened, the next is.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temporaryName =
        "." + name + "." + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".partial";
    platform::ScopedDescriptor file(::openat(folder.get(), temporaryName.c_str(),
                                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                             0600));
    if (!file.valid() && errno == EEXIST) {
      continue;
    }
    if (!file.valid()) {
      return platform::makeFileErrorFromErrno(errno, (folderPath / temporaryName).string());
    }
    std::shared_ptr<ItemReportWriter> writer(new ItemReportWriter(
        std::move(folder), std::move(file), temporaryName, reportFile, format));
    if (format == ReportFormat::jsonLines) {
      writer->writeRecord(jsonObject({{kHeadingReportKey, jsonString(kHeadingReportValue)},
                                      {kVersionKey, std::to_string(kReportVersion)}}));
    } else {
      writer->writeRecord(
          std::string(kCsvHeading) + "\n" +
          csvRow({kVersionKey, std::to_string(kReportVersion), "", "", "", "", "", "", ""}));
    }
    if (writer->failure_) {
      return reportError(*writer->failure_);
    }
    return writer;
  }
  return reportError(u"no free name for the report's temporary file beside " +
                     platform::fromUtf8(reportFile.string()));
}

ItemReportWriter::ItemReportWriter(platform::ScopedDescriptor folder,
                                   platform::ScopedDescriptor file, std::string temporaryName,
                                   std::filesystem::path reportFile, ReportFormat format)
    : folder_(std::move(folder)),
      file_(std::move(file)),
      temporaryName_(std::move(temporaryName)),
      temporaryPath_(reportFile.parent_path() / temporaryName_),
      reportFile_(std::move(reportFile)),
      finalName_(reportFile_.filename().string()),
      format_(format) {}

ItemReportWriter::~ItemReportWriter() = default;

void ItemReportWriter::noteFailure(std::u16string description) {
  if (!failure_) {
    failure_ = std::move(description);
  }
}

void ItemReportWriter::writeRecord(const std::string& record) {
  // One write per record: a run that a crash ends leaves every record written before it.
  std::string_view rest = record;
  while (!rest.empty()) {
    const ssize_t written =
        platform::retryOnInterrupt([&] { return ::write(file_.get(), rest.data(), rest.size()); });
    if (written <= 0) {
      noteFailure(
          u"the report could not be written: " +
          platform::makeFileErrorFromErrno(written < 0 ? errno : EIO, temporaryPath_.string())
              .description);
      return;
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

void ItemReportWriter::itemExported(const source::DatabaseItem& item, PlannedOutcome outcome,
                                    const platform::URL& file) {
  ++counts_.items;
  ++(outcome == PlannedOutcome::converted ? counts_.converted : counts_.exported);
  const std::string path = file.fileSystemPath();
  const std::string relative =
      std::string(kRootFolderName) + "/" + std::filesystem::path(path).filename().string();
  // Read back through a descriptor of its own: the export copies in the kernel, so the bytes
  // never pass by where they could be hashed on the way, and the file was just closed, so its
  // pages are still cached.
  std::optional<FileDigest> digest;
  const platform::ScopedDescriptor opened(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (opened.valid()) {
    digest = digestOfFile(opened.get(), hashBuffer_);
  }
  if (!digest) {
    noteFailure(u"the exported file " + platform::fromUtf8(path) + u" could not be read back");
  }
  const std::string id = platform::toUtf8(item.id);
  const std::string kind = platform::toUtf8(source::itemKindNames(item.kind).snapshotName);
  const std::string name = platform::toUtf8(item.name);
  const std::string size = digest ? std::to_string(digest->size) : std::string();
  const std::string sha256 = digest ? digest->hexadecimal() : std::string();
  if (format_ == ReportFormat::csv) {
    writeRecord(csvRow({"item", id, kind, name, outcomeText(outcome), "", relative, size, sha256}));
    return;
  }
  Fields fields{{kIdKey, jsonString(id)},
                {kKindKey, jsonString(kind)},
                {kNameKey, jsonString(name)},
                {kOutcomeKey, jsonString(outcomeText(outcome))},
                {kFileKey, jsonString(relative)}};
  if (digest) {
    fields.emplace_back(kSizeKey, size);
    fields.emplace_back(kSha256Key, jsonString(sha256));
  }
  writeRecord(jsonObject(fields));
}

void ItemReportWriter::itemSkipped(const source::DatabaseItem& item, SkipReason reason) {
  ++counts_.items;
  ++counts_.skipped;
  const std::string id = platform::toUtf8(item.id);
  const std::string kind = platform::toUtf8(source::itemKindNames(item.kind).snapshotName);
  const std::string name = platform::toUtf8(item.name);
  const std::string why = platform::toUtf8(skipReasonText(reason));
  if (format_ == ReportFormat::csv) {
    writeRecord(csvRow({"item", id, kind, name, "skipped", why, "", "", ""}));
    return;
  }
  writeRecord(jsonObject({{kIdKey, jsonString(id)},
                          {kKindKey, jsonString(kind)},
                          {kNameKey, jsonString(name)},
                          {kOutcomeKey, jsonString("skipped")},
                          {kReasonKey, jsonString(why)}}));
}

void ItemReportWriter::itemsNotListed(source::ItemKind kind, const platform::Error& error) {
  noteFailure(u"the " + std::u16string(source::itemKindNames(kind).pluralName) +
              u" left out could not be listed: " + error.description);
}

platform::Result<void> ItemReportWriter::finish(const std::optional<platform::Error>& exportError) {
  if (std::exchange(finished_, true)) {
    return reportError(u"the report was finished already");
  }
  std::optional<std::u16string> incomplete = failure_;
  if (exportError) {
    // The cancellation's error carries no words of its own.
    const bool cancelled = exportError->domain == platform::kCocoaErrorDomain &&
                           exportError->code == platform::kUserCancelledErrorCode;
    incomplete = cancelled                          ? u"Export cancelled."
                 : exportError->description.empty() ? u"The export failed."
                                                    : exportError->description;
  }
  const std::string error = incomplete ? platform::toUtf8(*incomplete) : std::string();
  if (format_ == ReportFormat::csv) {
    writeRecord(csvRow({"end", "", "", "", incomplete ? "incomplete" : "complete", error, "",
                        std::to_string(counts_.items), ""}));
  } else {
    Fields fields{{kCompleteKey, incomplete ? "false" : "true"}};
    if (incomplete) {
      fields.emplace_back(kErrorKey, jsonString(error));
    }
    fields.emplace_back(kItemsKey, std::to_string(counts_.items));
    fields.emplace_back(kExportedKey, std::to_string(counts_.exported));
    fields.emplace_back(kConvertedKey, std::to_string(counts_.converted));
    fields.emplace_back(kSkippedKey, std::to_string(counts_.skipped));
    writeRecord(jsonObject(fields));
  }
  if (::fsync(file_.get()) != 0) {
    noteFailure(u"the report could not be written: " +
                platform::makeFileErrorFromErrno(errno, temporaryPath_.string()).description);
  }
  file_.reset();
  // Never over a file that appeared at the report's place meanwhile: that one is not ours.
  int moved = ::renameat2(folder_.get(), temporaryName_.c_str(), folder_.get(), finalName_.c_str(),
                          RENAME_NOREPLACE);
  if (moved != 0 && (errno == EINVAL || errno == ENOSYS)) {
    moved = ::linkat(folder_.get(), temporaryName_.c_str(), folder_.get(), finalName_.c_str(), 0);
    if (moved == 0) {
      ::unlinkat(folder_.get(), temporaryName_.c_str(), 0);
    }
  }
  if (moved != 0) {
    return reportError(u"the report could not be moved to " +
                       platform::fromUtf8(reportFile_.string()) + u"; it stays at " +
                       platform::fromUtf8(temporaryPath_.string()) + u": " +
                       platform::makeFileErrorFromErrno(errno, reportFile_.string()).description);
  }
  if (failure_) {
    return reportError(*failure_);
  }
  return {};
}

// ---------------------------------------------------------------------------------------------
// Reading.

// The report's bytes, line by line through a fixed buffer.
class ItemReportReader::Input {
 public:
  explicit Input(platform::ScopedDescriptor file) : file_(std::move(file)) {}

  // The next byte; none at the end of the file or on a read error (`failed` then).
  std::optional<char> get() {
    if (position_ == buffer_.size()) {
      buffer_.resize(kReadChunkSize);
      const ssize_t count = platform::retryOnInterrupt(
          [&] { return ::read(file_.get(), buffer_.data(), buffer_.size()); });
      if (count <= 0) {
        failed = count < 0;
        buffer_.clear();
        position_ = 0;
        return std::nullopt;
      }
      buffer_.resize(static_cast<std::size_t>(count));
      position_ = 0;
    }
    return buffer_[position_++];
  }

  bool failed = false;

 private:
  platform::ScopedDescriptor file_;
  std::vector<char> buffer_;
  std::size_t position_ = 0;
};

namespace {

// A flat JSON object of strings, unsigned integers, booleans and nulls: all a report holds.
// Anything else is damage.
class JsonLine {
 public:
  explicit JsonLine(std::string_view text) : text_(text) {}

  struct Value {
    enum class Type { string, number, boolean, null } type = Type::null;
    std::string string;
    std::uint64_t number = 0;
    bool boolean = false;
  };

  std::optional<std::vector<std::pair<std::string, Value>>> parse() {
    std::vector<std::pair<std::string, Value>> members;
    skipSpace();
    if (!consume('{')) {
      return std::nullopt;
    }
    skipSpace();
    if (consume('}')) {
      return finished(std::move(members));
    }
    for (;;) {
      skipSpace();
      std::optional<std::string> key = string();
      skipSpace();
      if (!key || !consume(':')) {
        return std::nullopt;
      }
      skipSpace();
      std::optional<Value> value = this->value();
      if (!value) {
        return std::nullopt;
      }
      members.emplace_back(std::move(*key), std::move(*value));
      skipSpace();
      if (consume('}')) {
        return finished(std::move(members));
      }
      if (!consume(',')) {
        return std::nullopt;
      }
    }
  }

 private:
  std::optional<std::vector<std::pair<std::string, Value>>> finished(
      std::vector<std::pair<std::string, Value>> members) {
    skipSpace();
    if (position_ != text_.size()) {
      return std::nullopt;
    }
    return members;
  }

  void skipSpace() {
    while (position_ < text_.size() &&
           (text_[position_] == ' ' || text_[position_] == '\t' || text_[position_] == '\r')) {
      ++position_;
    }
  }

  bool consume(char expected) {
    if (position_ < text_.size() && text_[position_] == expected) {
      ++position_;
      return true;
    }
    return false;
  }

  bool consumeWord(std::string_view word) {
    if (text_.substr(position_, word.size()) != word) {
      return false;
    }
    position_ += word.size();
    return true;
  }

  std::optional<Value> value() {
    Value value;
    if (position_ < text_.size() && text_[position_] == '"') {
      std::optional<std::string> text = string();
      if (!text) {
        return std::nullopt;
      }
      value.type = Value::Type::string;
      value.string = std::move(*text);
      return value;
    }
    if (consumeWord("true")) {
      value.type = Value::Type::boolean;
      value.boolean = true;
      return value;
    }
    if (consumeWord("false")) {
      value.type = Value::Type::boolean;
      return value;
    }
    if (consumeWord("null")) {
      return value;
    }
    const std::size_t start = position_;
    std::uint64_t number = 0;
    while (position_ < text_.size() && text_[position_] >= '0' && text_[position_] <= '9') {
      const auto digit = static_cast<std::uint64_t>(text_[position_] - '0');
      if (number > (UINT64_MAX - digit) / 10) {
        return std::nullopt;
      }
      number = number * 10 + digit;
      ++position_;
    }
    if (position_ == start) {
      return std::nullopt;
    }
    value.type = Value::Type::number;
    value.number = number;
    return value;
  }

  std::optional<unsigned> hexadecimalQuad() {
    if (position_ + 4 > text_.size()) {
      return std::nullopt;
    }
    unsigned value = 0;
    for (int index = 0; index < 4; ++index) {
      const char digit = text_[position_++];
      value <<= 4;
      if (digit >= '0' && digit <= '9') {
        value |= static_cast<unsigned>(digit - '0');
      } else if (digit >= 'a' && digit <= 'f') {
        value |= static_cast<unsigned>(digit - 'a' + 10);
      } else if (digit >= 'A' && digit <= 'F') {
        value |= static_cast<unsigned>(digit - 'A' + 10);
      } else {
        return std::nullopt;
      }
    }
    return value;
  }

  std::optional<std::string> string() {
    if (!consume('"')) {
      return std::nullopt;
    }
    std::u16string escaped;  // \u escapes are UTF-16 code units
    std::string text;
    auto flushEscaped = [&] {
      text += platform::toUtf8(escaped);
      escaped.clear();
    };
    while (position_ < text_.size()) {
      const char character = text_[position_++];
      if (character == '"') {
        flushEscaped();
        return text;
      }
      if (static_cast<unsigned char>(character) < 0x20) {
        return std::nullopt;
      }
      if (character != '\\') {
        flushEscaped();
        text += character;
        continue;
      }
      if (position_ == text_.size()) {
        return std::nullopt;
      }
      const char kind = text_[position_++];
      if (kind == 'u') {
        std::optional<unsigned> unit = hexadecimalQuad();
        if (!unit) {
          return std::nullopt;
        }
        escaped += static_cast<char16_t>(*unit);
        continue;
      }
      flushEscaped();
      constexpr std::string_view kEscapes = "\"\"\\\\//b\bf\fn\nr\rt\t";
      std::size_t found = 0;
      while (found < kEscapes.size() && kEscapes[found] != kind) {
        found += 2;
      }
      if (found >= kEscapes.size()) {
        return std::nullopt;
      }
      text += kEscapes[found + 1];
    }
    return std::nullopt;
  }

  std::string_view text_;
  std::size_t position_ = 0;
};

// The fields of one CSV row; none when its quotes do not close.
std::optional<std::vector<std::string>> csvFields(std::string_view row) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (std::size_t index = 0; index < row.size(); ++index) {
    const char character = row[index];
    if (quoted) {
      if (character != '"') {
        fields.back() += character;
      } else if (index + 1 < row.size() && row[index + 1] == '"') {
        fields.back() += '"';
        ++index;
      } else {
        quoted = false;
      }
    } else if (character == '"' && fields.back().empty()) {
      quoted = true;
    } else if (character == ',') {
      fields.emplace_back();
    } else if (character != '\r') {
      fields.back() += character;
    }
  }
  if (quoted) {
    return std::nullopt;
  }
  return fields;
}

std::optional<std::uint64_t> unsignedNumber(std::string_view text) {
  if (text.empty() || text.size() > 20) {
    return std::nullopt;
  }
  std::uint64_t number = 0;
  for (const char digit : text) {
    if (digit < '0' || digit > '9') {
      return std::nullopt;
    }
    const auto added = static_cast<std::uint64_t>(digit - '0');
    if (number > (UINT64_MAX - added) / 10) {
      return std::nullopt;
    }
    number = number * 10 + added;
  }
  return number;
}

}  // namespace

ItemReportReader::ItemReportReader(std::unique_ptr<Input> input, ReportFormat format)
    : input_(std::move(input)), format_(format) {}

ItemReportReader::~ItemReportReader() = default;

platform::Result<ItemReportReader> ItemReportReader::open(const std::filesystem::path& reportFile) {
  const std::optional<ReportFormat> format = reportFormatForPath(reportFile);
  if (!format) {
    return reportError(u"a report ends in .jsonl or .csv");
  }
  platform::ScopedDescriptor file(
      ::open(reportFile.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!file.valid()) {
    return platform::makeFileErrorFromErrno(errno, reportFile.string());
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return reportError(u"the report is not a regular file");
  }
  ItemReportReader reader(std::make_unique<Input>(std::move(file)), *format);
  ZV_ASSIGN_OR_RETURN(const std::optional<std::string> heading, reader.nextLine());
  if (*format == ReportFormat::jsonLines) {
    std::optional<std::vector<std::pair<std::string, JsonLine::Value>>> members;
    if (heading) {
      members = JsonLine(*heading).parse();
    }
    if (!members || members->size() != 2 || members->at(0).first != kHeadingReportKey ||
        members->at(0).second.string != kHeadingReportValue ||
        members->at(1).first != kVersionKey) {
      return reader.damaged("it does not begin as a zelvar-export report");
    }
    if (members->at(1).second.type != JsonLine::Value::Type::number ||
        members->at(1).second.number != kReportVersion) {
      return reader.damaged("it is not a version " + std::to_string(kReportVersion) + " report");
    }
    return reader;
  }
  if (!heading || *heading != kCsvHeading) {
    return reader.damaged("it does not begin as a zelvar-export report");
  }
  ZV_ASSIGN_OR_RETURN(const std::optional<std::string> version, reader.nextLine());
  std::optional<std::vector<std::string>> fields;
  if (version) {
    fields = csvFields(*version);
  }
  if (!fields || fields->size() < 2 || fields->at(0) != kVersionKey ||
      fields->at(1) != std::to_string(kReportVersion)) {
    return reader.damaged("it is not a version " + std::to_string(kReportVersion) + " report");
  }
  return reader;
}

platform::Error ItemReportReader::damaged(const std::string& why) const {
  return reportError(u"the report is damaged at line " +
                     platform::fromUtf8(std::to_string(lineNumber_)) + u": " +
                     platform::fromUtf8(why));
}

platform::Result<std::optional<std::string>> ItemReportReader::nextLine() {
  std::string line;
  bool quoted = false;
  // Errors name the line the record begins on; a CSV field may hold line breaks.
  lineNumber_ = nextLineNumber_;
  std::uint64_t lines = 1;
  for (;;) {
    std::optional<char> character = input_->get();
    if (!character) {
      if (input_->failed) {
        return damaged("it cannot be read");
      }
      if (line.empty()) {
        return std::optional<std::string>();
      }
      // The writer ends every record with a line feed: one without was cut short.
      return damaged("its last line is cut short");
    }
    if (*character == '"' && format_ == ReportFormat::csv) {
      quoted = !quoted;
    }
    if (*character == '\n' && !quoted) {
      nextLineNumber_ = lineNumber_ + lines;
      return std::optional<std::string>(std::move(line));
    }
    if (*character == '\n') {
      ++lines;
    }
    if (line.size() == kMaximumReportLineLength) {
      return damaged("a line is longer than " + std::to_string(kMaximumReportLineLength >> 10) +
                     " KiB");
    }
    line += *character;
  }
}

platform::Result<std::optional<ReportRecord>> ItemReportReader::next() {
  ZV_ASSIGN_OR_RETURN(const std::optional<std::string> line, nextLine());
  if (!line) {
    return std::optional<ReportRecord>();
  }
  ReportRecord record;
  std::string size;
  std::string sha256;
  std::string items;
  if (format_ == ReportFormat::csv) {
    std::optional<std::vector<std::string>> fields = csvFields(*line);
    if (!fields || fields->size() != kCsvColumns) {
      return damaged("it does not have " + std::to_string(kCsvColumns) + " columns");
    }
    auto& f = *fields;
    if (f[0] == "end") {
      record.type = ReportRecord::Type::end;
      if (f[4] != "complete" && f[4] != "incomplete") {
        return damaged("its end says neither complete nor incomplete");
      }
      record.complete = f[4] == "complete";
      record.error = std::move(f[5]);
      items = std::move(f[7]);
    } else if (f[0] == "item") {
      record.id = std::move(f[1]);
      record.kind = std::move(f[2]);
      record.name = std::move(f[3]);
      record.outcome = std::move(f[4]);
      record.reason = std::move(f[5]);
      record.file = std::move(f[6]);
      size = std::move(f[7]);
      sha256 = std::move(f[8]);
    } else {
      return damaged("a row is neither an item nor the end");
    }
  } else {
    std::optional<std::vector<std::pair<std::string, JsonLine::Value>>> members =
        JsonLine(*line).parse();
    if (!members) {
      return damaged("it is not a JSON object of the report's shape");
    }
    bool isEnd = false;
    for (auto& [key, value] : *members) {
      using Type = JsonLine::Value::Type;
      const bool isNumber = value.type == Type::number;
      if (key == kCompleteKey && value.type == Type::boolean) {
        isEnd = true;
        record.complete = value.boolean;
      } else if (key == kSizeKey && isNumber) {
        record.size = value.number;
      } else if (key == kItemsKey && isNumber) {
        record.items = value.number;
      } else if ((key == kExportedKey || key == kConvertedKey || key == kSkippedKey) && isNumber) {
        // Counts for people and scripts; the verifier counts the records itself.
      } else if (value.type != Type::string) {
        return damaged("its " + jsonString(key) + " has the wrong type");
      } else if (key == kIdKey) {
        record.id = std::move(value.string);
      } else if (key == kKindKey) {
        record.kind = std::move(value.string);
      } else if (key == kNameKey) {
        record.name = std::move(value.string);
      } else if (key == kOutcomeKey) {
        record.outcome = std::move(value.string);
      } else if (key == kReasonKey) {
        record.reason = std::move(value.string);
      } else if (key == kFileKey) {
        record.file = std::move(value.string);
      } else if (key == kSha256Key) {
        sha256 = std::move(value.string);
      } else if (key == kErrorKey) {
        record.error = std::move(value.string);
      } else {
        return damaged("it has the unknown key " + jsonString(key));
      }
    }
    record.type = isEnd ? ReportRecord::Type::end : ReportRecord::Type::item;
  }
  if (!size.empty()) {
    record.size = unsignedNumber(size);
    if (!record.size) {
      return damaged("its size is no number");
    }
  }
  if (!items.empty()) {
    record.items = unsignedNumber(items);
    if (!record.items) {
      return damaged("its count of items is no number");
    }
  }
  if (!sha256.empty()) {
    record.sha256 = sha256FromHexadecimal(sha256);
    if (!record.sha256) {
      return damaged("its SHA-256 is not 64 hexadecimal digits");
    }
  }
  if (record.type == ReportRecord::Type::item &&
      (record.id.empty() || (record.outcome != "exported" && record.outcome != "converted" &&
                             record.outcome != "skipped"))) {
    return damaged("an item has no identifier or no known outcome");
  }
  return std::optional<ReportRecord>(std::move(record));
}

}  // namespace zv::exporter
