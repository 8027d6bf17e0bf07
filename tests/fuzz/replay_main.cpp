// Runs a fuzz target over files, without libFuzzer: every seed and every
// input that once crashed a target is replayed as an ordinary test.
//   fuzz_replay_X FILE_OR_DIR...
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

static int replay(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    if (S_ISDIR(st.st_mode)) {
        int count = 0;
        if (DIR* dir = opendir(path.c_str())) {
            while (dirent* e = readdir(dir))
                if (e->d_name[0] != '.') count += replay(path + "/" + e->d_name);
            closedir(dir);
        }
        return count;
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return 1;
}

int main(int argc, char** argv)
{
    int count = 0;
    for (int i = 1; i < argc; ++i) count += replay(argv[i]);
    std::printf("replayed %d inputs\n", count);
    return count > 0 ? 0 : 1;
}
