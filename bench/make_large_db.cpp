// make_large_db DIR [COUNT [sorted]]: writes DIR/barcodes.ini (COUNT
// barcodes, default 1000000, in a scrambled order unless "sorted") and
// DIR/formats.ini for benchmarks and load tests.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "large_db.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << "usage: make_large_db DIR [COUNT]\n";
        return 2;
    }
    long count = argc > 2 ? std::atol(argv[2]) : 1000000;
    if (!write_large_db(argv[1], count, argc > 3 && std::string(argv[3]) == "sorted")) {
        std::cerr << "make_large_db: cannot write the database in " << argv[1] << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    return 0;
}
