// Runs a fuzz target once over every file named on the command line (folders: every file in
// them, in name order), so the corpus and the inputs that once failed are checked in every build,
// without libFuzzer. Exit status 0 only if every input ran through.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace {

void Collect(const std::string &path, std::vector<std::string> &files) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, "no such input: %s\n", path.c_str());
    std::exit(2);
  }
  if (!S_ISDIR(st.st_mode)) {
    files.push_back(path);
    return;
  }
  DIR *dir = ::opendir(path.c_str());
  std::vector<std::string> names;
  while (dirent *e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (const auto &name : names) Collect(path + "/" + name, files);
}

}  // namespace

int main(int argc, char **argv) {
  // Listed before the target starts: a target may change the working directory.
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    char *full = ::realpath(argv[i], nullptr);
    Collect(full != nullptr ? full : argv[i], files);
    std::free(full);
  }
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  if (files.empty()) {
    std::fprintf(stderr, "usage: %s FILE_OR_FOLDER...\n", argv[0]);
    return 2;
  }
  for (const auto &file : files) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    const std::string bytes = s.str();
    std::fprintf(stderr, "replay %s (%zu bytes)\n", file.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  }
  std::printf("%zu inputs replayed\n", files.size());
  return 0;
}
