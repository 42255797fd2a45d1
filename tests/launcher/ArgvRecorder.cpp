// Writes its argument vector, argv[0] included, each entry followed by a NUL
// byte, to the file named by ARGV_RECORD_FILE.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const char* path = std::getenv("ARGV_RECORD_FILE");
    if (!path) return 2;
    std::FILE* f = std::fopen(path, "wb");
    if (!f) return 3;
    for (int i = 0; i < argc; ++i) {
        std::fputs(argv[i], f);
        std::fputc('\0', f);
    }
    return std::fclose(f) == 0 ? 0 : 4;
}
