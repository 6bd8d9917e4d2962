#pragma once
// A BPF file system of the test's own, for the steering program's pinned socket arrays: mounted
// on a fresh folder in a private mount namespace (so nothing outside this process and its
// children sees it), unmounted and removed from the destructor. Needs root; must be made before
// the test starts any thread.
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace harness {

class BpfDir {
 public:
  BpfDir() {
    if (unshare(CLONE_NEWNS) != 0) {
      why_ = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
      return;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      why_ = std::string("mount --make-rprivate /: ") + std::strerror(errno);
      return;
    }
    char dir[] = "/tmp/skytether-bpf-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    dir_ = dir;
    if (mount("bpf", dir, "bpf", 0, "mode=0700") != 0) {
      why_ = std::string("mount -t bpf: ") + std::strerror(errno);
      return;
    }
    mounted_ = true;
  }
  ~BpfDir() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
    if (!dir_.empty()) rmdir(dir_.c_str());
  }
  BpfDir(const BpfDir &) = delete;
  BpfDir &operator=(const BpfDir &) = delete;

  bool ok() const { return mounted_; }
  const std::string &why() const { return why_; }
  // A folder for one group of nodes, inside the mount.
  std::string Folder(const std::string &name) const { return dir_ + "/" + name; }

 private:
  std::string dir_, why_;
  bool mounted_ = false;
};

}  // namespace harness
