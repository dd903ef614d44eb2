// The fuzz targets without libFuzzer: feeds every file of the directories (or the files) named on
// the command line to LLVMFuzzerTestOneInput once, each in a buffer of exactly its size, so that
// the committed corpora run as regression cases with any compiler. Fails when it found nothing to
// feed, so that a corpus gone missing does not pass.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_directory(argv[i])) {
            for (const auto& entry : fs::directory_iterator(argv[i])) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
        } else {
            files.emplace_back(argv[i]);
        }
    }
    for (const fs::path& file : files) {
        // Heap memory of exactly the input's size: a read past it is a sanitizer report.
        const size_t size = fs::file_size(file);
        const auto bytes = std::make_unique<uint8_t[]>(size);
        std::ifstream in(file, std::ios::binary);
        if (!in.read(reinterpret_cast<char*>(bytes.get()), std::streamsize(size))) {
            std::fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        LLVMFuzzerTestOneInput(bytes.get(), size);
    }
    std::printf("%zu inputs replayed\n", files.size());
    return files.empty() ? 1 : 0;
}
