// replay_main.cpp: runs a fuzz target over saved inputs, so that every
// build configuration replays the corpora without libFuzzer. Arguments are
// files or directories (every regular file in them, in name order).

// Large-file interfaces in 32-bit builds too: stat and readdir fail there
// with EOVERFLOW on 64-bit inode numbers otherwise.
#define _FILE_OFFSET_BITS 64
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool readFile(const std::string& path, std::vector<uint8_t>* out)
{
    FILE* fp = fopen(path.c_str(), "rb");
    if (fp == nullptr)
        return false;
    out->clear();
    uint8_t block[4096];
    size_t n;
    while ((n = fread(block, 1, sizeof block, fp)) > 0)
        out->insert(out->end(), block, block + n);
    bool ok = !ferror(fp);
    fclose(fp);
    return ok;
}

void collect(const std::string& path, std::vector<std::string>* inputs)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        inputs->push_back(path);
        return;
    }
    DIR* d = opendir(path.c_str());
    if (d == nullptr)
        return;
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        collect(path + "/" + name, inputs);
}

}  // namespace

int main(int argc, char** argv)
{
    if (LLVMFuzzerInitialize != nullptr)
        LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; i++)
        collect(argv[i], &inputs);
    if (inputs.empty()) {
        fprintf(stderr, "no inputs found\n");
        return 1;
    }
    std::vector<uint8_t> data;
    for (const std::string& path : inputs) {
        if (!readFile(path, &data)) {
            fprintf(stderr, "cannot read %s\n", path.c_str());
            return 1;
        }
        // A copy of exactly the input's size, so reads past it are caught.
        std::vector<uint8_t> input(data);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    printf("replayed %zu inputs\n", inputs.size());
    return 0;
}
