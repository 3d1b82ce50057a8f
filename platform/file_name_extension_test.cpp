#include "platform/file_name_extension.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/unicode.h"
#include "platform/url.h"

namespace zv::platform {
namespace {

struct Case {
  std::u16string name;
  std::u16string base;
  std::u16string extension;
};

// Each row also goes through URL::pathExtension and deletingPathExtension, which must agree.
const Case kCases[] = {
    {u"Report.pdf", u"Report", u"pdf"},
    {u"x.y.z", u"x.y", u"z"},
    {u"Version 1.2", u"Version 1", u"2"},
    {u"plain", u"plain", u""},
    // A leading "." marks a hidden file: it starts no extension.
    {u".x", u".x", u""},
    {u".x.y", u".x", u"y"},
    {u"..x", u".", u"x"},
    // A trailing "." ends no extension either, and stays part of the name.
    {u"x.", u"x.", u""},
    {u"x..", u"x..", u""},
    {u"x.y.", u"x.y.", u""},
    {u".", u".", u""},
    {u"", u"", u""},
    {u"caf\u00e9.\u6587\u66f8", u"caf\u00e9", u"\u6587\u66f8"},
};

TEST(SplitFileNameExtension, SplitsAtALastDotThatNeitherStartsNorEndsTheName) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(toUtf8(c.name));
    FileNameParts parts = splitFileNameExtension(c.name);
    EXPECT_EQ(parts.base, c.base);
    EXPECT_EQ(parts.extension, c.extension);
    if (c.name.empty() || c.name == u".") {
      continue;  // not a name a file URL can end in
    }
    URL file = URL::fileURLWithPath(u"/tmp/" + c.name);
    EXPECT_EQ(file.pathExtension(), c.extension);
    EXPECT_EQ(file.deletingPathExtension().lastPathComponent(), c.base);
  }
}

}  // namespace
}  // namespace zv::platform
