// Runs a fuzz target once over each input, without libFuzzer, so that the
// seed corpus and the kept regression inputs are a test of every build.
// Arguments are input files or folders of them; a missing folder counts as
// empty (a target may have no regression yet), but no input at all fails.
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char *argv[])
{
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; i++) {
        const std::filesystem::path path = argv[i];
        std::error_code error;
        if (std::filesystem::is_directory(path, error)) {
            std::vector<std::filesystem::path> files;
            for (const auto &entry : std::filesystem::directory_iterator(path)) {
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            }
            std::sort(files.begin(), files.end());
            inputs.insert(inputs.end(), files.begin(), files.end());
        } else if (std::filesystem::exists(path, error)) {
            inputs.push_back(path);
        }
    }
    if (inputs.empty()) {
        fprintf(stderr, "no input to replay\n");
        return 1;
    }
    for (const auto &input : inputs) {
        // Named first, so a failing input is known even when the target aborts.
        fprintf(stderr, "replaying %s\n", input.c_str());
        std::ifstream file(input, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                      std::istreambuf_iterator<char>());
        if (!file.good() && !file.eof()) {
            fprintf(stderr, "cannot read %s\n", input.c_str());
            return 1;
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
