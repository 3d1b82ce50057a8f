#include "platform/scoped_descriptor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace zv::platform {
namespace {

bool isOpen(int descriptor) {
  return ::fcntl(descriptor, F_GETFD) != -1;
}

// Far beyond any descriptor a test process opens, so that closing it fails with EBADF.
constexpr int kNeverOpened = 1 << 20;

TEST(ScopedDescriptor, ClosesExactlyWhenItsLastOwnerLetsGo) {
  using Holder = std::optional<ScopedDescriptor>;
  struct Case {
    const char* name;
    // Does something to the holder; what it returns is still alive when the descriptor is checked.
    ScopedDescriptor (*act)(Holder& holder);
    bool staysOpen;
  };
  const Case cases[] = {
      {"destroyed",
       [](Holder& holder) {
         holder.reset();
         return ScopedDescriptor();
       },
       false},
      {"reset",
       [](Holder& holder) {
         holder->reset();
         return ScopedDescriptor();
       },
       false},
      {"assigned another",
       [](Holder& holder) {
         *holder = ScopedDescriptor();
         return ScopedDescriptor();
       },
       false},
      {"released, then destroyed",
       [](Holder& holder) {
         ScopedDescriptor taken(holder->release());
         holder.reset();
         return taken;
       },
       true},
      {"moved out, then destroyed",
       [](Holder& holder) {
         ScopedDescriptor taken(std::move(*holder));
         holder.reset();
         return taken;
       },
       true},
      {"moved by assignment, then destroyed",
       [](Holder& holder) {
         ScopedDescriptor taken;
         taken = std::move(*holder);
         holder.reset();
         return taken;
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    const ScopedDescriptor writeEnd(ends[1]);
    Holder holder(std::in_place, ends[0]);
    ASSERT_TRUE(holder->valid());
    const ScopedDescriptor kept = c.act(holder);
    EXPECT_EQ(isOpen(ends[0]), c.staysOpen);
    EXPECT_EQ(kept.valid(), c.staysOpen);
  }
}

TEST(ScopedDescriptor, ClosingLeavesErrnoForTheFailureBeingReported) {
  errno = EACCES;
  {
    // This close fails with EBADF, which must not replace what errno said before.
    const ScopedDescriptor descriptor(kNeverOpened);
  }
  EXPECT_EQ(errno, EACCES);
}

TEST(DirectoryStream, OwnsTheDescriptorItWasMadeFromOrClosesIt) {
  struct Case {
    const char* name;
    bool isFolder;
  };
  const Case cases[] = {{"a folder", true}, {"a pipe", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    const ScopedDescriptor writeEnd(ends[1]);
    const ScopedDescriptor readEnd(ends[0]);
    const int descriptor =
        c.isFolder ? ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : ::dup(readEnd.get());
    ASSERT_GE(descriptor, 0);
    errno = 0;
    ScopedDirectoryStream stream = directoryStreamOf(ScopedDescriptor(descriptor));
    EXPECT_EQ(stream != nullptr, c.isFolder);
    EXPECT_EQ(errno, c.isFolder ? 0 : ENOTDIR);
    EXPECT_EQ(isOpen(descriptor), c.isFolder);
    stream.reset();
    EXPECT_FALSE(isOpen(descriptor));
  }
}

}  // namespace
}  // namespace zv::platform
