// A folder of the test's machine that is a small volume of its own, so that
// a drive (or a folder of one) runs out of room as a real one does: writes
// past it fail with ERROR_DISK_FULL, and a move onto it from elsewhere is a
// move between devices.
#pragma once
#include <string>

namespace testing_support {

// A tmpfs of `bytes` mounted at hostDir (made when missing) while the object
// lives. The mount lies in a mount namespace of this test process, which the
// programs it starts from now on share, and it ends with them: the host
// never sees it. Needs root (CI runs as root); records a failure otherwise.
class SmallVolume {
 public:
  SmallVolume(const std::string& hostDir, unsigned long long bytes);
  ~SmallVolume();
  SmallVolume(const SmallVolume&) = delete;
  SmallVolume& operator=(const SmallVolume&) = delete;

  bool mounted() const { return mounted_; }

 private:
  std::string dir_;
  bool mounted_ = false;
};

}  // namespace testing_support
