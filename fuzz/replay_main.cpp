// Replays a fuzz target's corpus as an ordinary test: every file of the
// given directories is one input.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
  int inputs = 0;
  for (int a = 1; a < argc; ++a) {
    DIR *dir = opendir(argv[a]);
    if (dir == nullptr) {
      fprintf(stderr, "replay: cannot open %s\n", argv[a]);
      return 1;
    }
    while (struct dirent *e = readdir(dir)) {
      if (e->d_name[0] == '.') continue;
      std::string path = std::string(argv[a]) + "/" + e->d_name;
      std::ifstream in(path, std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++inputs;
    }
    closedir(dir);
  }
  printf("replayed %d inputs\n", inputs);
  return inputs > 0 ? 0 : 1;
}
