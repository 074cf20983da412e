// lzmaunpack <container> <output>: unpacks one LZMA container file exactly as the updater's unpack task does.
#include "lzmafile.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <container> <output>\n", argv[0]);
        return 2;
    }
    return corvapatch::DecompressLzmaFile(argv[1], argv[2]) ? 0 : 1;
}
