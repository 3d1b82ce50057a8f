#include "platform/scoped_descriptor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

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
  const int folder = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(folder, 0);
  ScopedDirectoryStream stream = directoryStreamOf(ScopedDescriptor(folder));
  EXPECT_NE(stream, nullptr);
  EXPECT_TRUE(isOpen(folder));
  stream.reset();
  EXPECT_FALSE(isOpen(folder));

  const int file = openDescriptor();
  errno = 0;
  EXPECT_EQ(directoryStreamOf(ScopedDescriptor(file)), nullptr);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_FALSE(isOpen(file));
}

}  // namespace
}  // namespace zv::platform
