// Replays a fuzz target's corpus without libFuzzer: each file of the folder named on the command
// line goes to LLVMFuzzerTestOneInput once, in name order. A finding stops the program as it
// stops the fuzzer (the target traps, or a sanitizer reports). A missing or empty folder fails,
// so that a wrong path cannot pass as a clean replay.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
#ifdef QXNET_FUZZ_INITIALIZE
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
#endif

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS-FOLDER\n", argv[0]);
        return 2;
    }
#ifdef QXNET_FUZZ_INITIALIZE
    LLVMFuzzerInitialize(&argc, &argv);
#endif
    const std::filesystem::path folder = argv[1];
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_regular_file()) {
            files.push_back(it->path());
        }
    }
    if (error) {
        std::fprintf(stderr, "%s: %s\n", folder.string().c_str(), error.message().c_str());
        return 1;
    }
    if (files.empty()) {
        std::fprintf(stderr, "%s: no inputs\n", folder.string().c_str());
        return 1;
    }
    std::sort(files.begin(), files.end());
    for (const std::filesystem::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
        if (!in) {
            std::fprintf(stderr, "%s: cannot be read\n", file.string().c_str());
            return 1;
        }
        // A buffer of exactly the input's size, as libFuzzer gives it, so that the sanitizers
        // see a read past the end.
        const std::unique_ptr<std::uint8_t[]> input(new std::uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), input.get());
        std::printf("%s (%zu bytes)\n", file.filename().string().c_str(), bytes.size());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(input.get(), bytes.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
