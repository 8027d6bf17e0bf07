#include "version.h"

#include <cstring>
#include <iostream>

bool version_asked(int argc, char** argv, const char* program)
{
    if (argc != 2 || std::strcmp(argv[1], "-version") != 0) return false;
    std::cout << program << ' ' << ulvane_version << std::endl;
    return true;
}
