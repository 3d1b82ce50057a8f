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

// A fresh descriptor; a closed number may come back from the next open, so each step checks its
// descriptor before opening another.
int openDescriptor() {
  return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

TEST(ScopedDescriptor, ClosesExactlyWhenItsLastOwnerLetsGo) {
  int descriptor = openDescriptor();
  { const ScopedDescriptor destroyed(descriptor); }
  EXPECT_FALSE(isOpen(descriptor)) << "destroyed";

  ScopedDescriptor owner(descriptor = openDescriptor());
  owner.reset();
  EXPECT_FALSE(isOpen(descriptor)) << "reset";

  owner = ScopedDescriptor(descriptor = openDescriptor());
  owner = ScopedDescriptor();
  EXPECT_FALSE(isOpen(descriptor)) << "assigned another";

  // Moved-from owners go first; a move that left them owning would close the descriptor.
  {
    ScopedDescriptor first(descriptor = openDescriptor());
    ScopedDescriptor second(std::move(first));
    owner = std::move(second);
  }
  EXPECT_TRUE(isOpen(descriptor)) << "moved by construction, then by assignment";
  EXPECT_TRUE(owner.valid());
  owner.reset();

  { ScopedDescriptor(descriptor = openDescriptor()).release(); }
  EXPECT_TRUE(isOpen(descriptor)) << "released";
  ::close(descriptor);
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
