#include "richtext/rtf_writer.h"

#include <gtest/gtest.h>

#include "richtext/rtf_reader.h"

namespace zv::richtext {
namespace {

TEST(RTFWriterTest, Placeholder) {}

}  // namespace
}  // namespace zv::richtext
