// Gives each test process a lock folder for the simulated boards of its own.
// ctest runs tests in parallel, and many of them open simulated board 0, in
// the process or through the programs they start; with the default folder
// they would refuse each other the board. The variable is set before main,
// so that every program a test starts (through tmux, popen or fork)
// inherits it: two programs of one test share the folder, as two programs
// of one user share the default. A process that finds the variable set
// keeps it.

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace {

class PrivateLockFolder {
 public:
  PrivateLockFolder() {
    if (getenv("Q7M_SIM_LOCK_DIR") != nullptr) return;
    char pattern[] = "/tmp/q7m-test-locks-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    // Open to everyone, as /tmp is: a test may run a program as another user.
    chmod(pattern, 01777);
    path_ = pattern;
    owner_ = getpid();
    setenv("Q7M_SIM_LOCK_DIR", pattern, 1);
  }
  ~PrivateLockFolder() {
    // A forked child that exits runs this too; the folder is its parent's.
    if (path_.empty() || getpid() != owner_) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  PrivateLockFolder(const PrivateLockFolder&) = delete;
  PrivateLockFolder& operator=(const PrivateLockFolder&) = delete;

 private:
  std::string path_;
  pid_t owner_ = 0;
};

const PrivateLockFolder folder;

}  // namespace
