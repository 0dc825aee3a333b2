#include "support/small_volume.h"

#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

namespace testing_support {
namespace {

// Moves this process into a mount namespace of its own, once, whose mounts
// do not propagate to the host's.
bool PrivateMounts(std::string* error) {
  static int result = -1;
  static std::string failure;
  if (result < 0) {
    if (unshare(CLONE_NEWNS) != 0) {
      failure = std::string("unshare: ") + std::strerror(errno);
      result = 0;
    } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      failure = std::string("private mounts: ") + std::strerror(errno);
      result = 0;
    } else {
      result = 1;
    }
  }
  *error = failure;
  return result == 1;
}

}  // namespace

SmallVolume::SmallVolume(const std::string& hostDir, unsigned long long bytes) : dir_(hostDir) {
  std::string error;
  if (!PrivateMounts(&error)) {
    ADD_FAILURE() << "a small volume needs root to mount a tmpfs (" << error << ")";
    return;
  }
  std::error_code ec;
  std::filesystem::create_directories(dir_, ec);
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  if (mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
    ADD_FAILURE() << "cannot mount a tmpfs at " << dir_ << ": " << std::strerror(errno);
    return;
  }
  mounted_ = true;
}

SmallVolume::~SmallVolume() {
  if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
}

}  // namespace testing_support
