// Replays files through a fuzz entry point without libFuzzer: every regular file under the
// folders (or the files) named on the command line, recursively. A crash or sanitizer report
// fails the run.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    namespace fs = std::filesystem;
    int count = 0;
    auto run = [&](const fs::path &p) {
        std::ifstream in(p, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        ++count;
    };
    for (int i = 1; i < argc; ++i) {
        fs::path root(argv[i]);
        if (fs::is_regular_file(root)) {
            run(root);
        } else if (fs::is_directory(root)) {
            for (auto &e : fs::recursive_directory_iterator(root))
                if (e.is_regular_file())
                    run(e.path());
        }
    }
    std::printf("replayed %d file(s)\n", count);
    return 0;
}
