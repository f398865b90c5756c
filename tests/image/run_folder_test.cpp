// Private run folders: a run's folder is locked while it lives, and what ended runs left is
// swept by the next, but never a folder another run holds, one made a moment ago, another
// user's or something that is not a folder.
#include "platform/image/run_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/image_builder.h"

namespace halshift::image {
namespace {

namespace fs = std::filesystem;

void Age(const fs::path& path) {
  fs::last_write_time(path, fs::last_write_time(path) - PrivateFolder::kLeftoverAge - std::chrono::seconds(5));
}

fs::path OldFolder(const fs::path& parent, const char* name) {
  const fs::path folder = parent / name;
  fs::create_directories(folder / "0");
  std::ofstream(folder / "0" / "SOFTWARE") << "hive";
  Age(folder);
  return folder;
}

TEST(RunFolderTest, LeftoversOfEndedRunsGoAndNothingElse) {
  testing::TempImage temp;
  const fs::path parent = temp.Root();
  const fs::path ended = OldFolder(parent, "halshift-run-hives.ended");
  const fs::path held = OldFolder(parent, "halshift-run-hives.held");
  const fs::path fresh = parent / "halshift-run-hives.fresh";
  fs::create_directory(fresh);
  const fs::path other = OldFolder(parent, "halshift-run-nbd.other");
  const fs::path bare = OldFolder(parent, "halshift-run-hives");
  std::ofstream(parent / "halshift-run-hives.file") << "not a folder";
  Age(parent / "halshift-run-hives.file");
  fs::create_directory_symlink(ended, parent / "halshift-run-hives.link");

  // Another run's lock: a lock of its own open of the folder, as the run's is.
  const int lock = ::open(held.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);

  EXPECT_EQ(RemoveLeftoverFolders(parent, "halshift-run-hives"), 1);
  EXPECT_FALSE(fs::exists(ended));
  EXPECT_TRUE(fs::exists(held / "0" / "SOFTWARE"));
  EXPECT_TRUE(fs::exists(fresh));
  EXPECT_TRUE(fs::exists(other / "0" / "SOFTWARE"));
  EXPECT_TRUE(fs::exists(bare / "0" / "SOFTWARE"));
  EXPECT_TRUE(fs::exists(parent / "halshift-run-hives.file"));
  EXPECT_TRUE(fs::is_symlink(parent / "halshift-run-hives.link"));

  // Once its run has ended, the held folder is a leftover too.
  ::close(lock);
  EXPECT_EQ(RemoveLeftoverFolders(parent, "halshift-run-hives"), 1);
  EXPECT_FALSE(fs::exists(held));
}

TEST(RunFolderTest, ALiveRunsFolderIsKeptUntilItEnds) {
  testing::TempImage temp;
  const char* const before = std::getenv("TMPDIR");
  const std::string kept = before != nullptr ? before : "";
  ASSERT_EQ(::setenv("TMPDIR", temp.Root().c_str(), 1), 0);
  fs::path made;
  {
    PrivateFolder folder("halshift-run-test");
    ASSERT_FALSE(folder.Path().empty());
    made = folder.Path();
    EXPECT_EQ(made.parent_path(), temp.Root());
    std::ofstream(made / "copy") << "bytes";
    Age(made);
    EXPECT_EQ(RemoveLeftoverFolders(temp.Root(), "halshift-run-test"), 0);
    EXPECT_TRUE(fs::exists(made / "copy"));
    // A leftover of an ended run is swept when the next folder is made.
    const fs::path ended = OldFolder(temp.Root(), "halshift-run-test.ended");
    PrivateFolder second("halshift-run-test");
    EXPECT_FALSE(fs::exists(ended));
    EXPECT_TRUE(fs::exists(made / "copy"));
  }
  EXPECT_FALSE(fs::exists(made));
  if (before != nullptr) {
    ::setenv("TMPDIR", kept.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

}  // namespace
}  // namespace halshift::image
