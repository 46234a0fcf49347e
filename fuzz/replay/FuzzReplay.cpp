// Runs fuzz targets over their seed corpus without libFuzzer, so every test build (gcc, any
// sanitizer) checks the targets' properties on the seeds: fuzz_replay <target> <folder>.
// Each fuzz source is compiled with its entry point renamed; FuzzTargets.h lists them.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "FuzzTargets.h"

int main(int argc, char** argv) {
    if (argc != 3) return std::fprintf(stderr, "usage: fuzz_replay <target> <corpus folder>\n"), 2;
    for (const auto& target : kFuzzTargets) {
        if (std::strcmp(target.name, argv[1]) != 0) continue;
        int inputs = 0;
        for (const auto& entry : std::filesystem::directory_iterator(argv[2])) {
            std::ifstream in(entry.path(), std::ios::binary);
            const std::string bytes{std::istreambuf_iterator<char>(in), {}};
            std::fprintf(stderr, "%s\n", entry.path().filename().c_str());
            target.run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            ++inputs;
        }
        std::printf("%s: %d inputs\n", target.name, inputs);
        return inputs > 0 ? 0 : 1;
    }
    return std::fprintf(stderr, "no fuzz target named %s\n", argv[1]), 2;
}
