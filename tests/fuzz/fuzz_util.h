// Shared by the fuzz targets.
#ifndef ULVANE_FUZZ_UTIL_H
#define ULVANE_FUZZ_UTIL_H

#include <cstdlib>
#include <fstream>
#include <string>

#include "log.h"

// Sends the log to /dev/null once, so that warnings do not flood the run.
inline void quiet_log()
{
    static bool done = false;
    if (!done) set_log_file("/dev/null");
    done = true;
}

// Writes a small database with both fallbacks into a fresh directory.
inline std::string fuzz_database()
{
    char dir[] = "/tmp/ulvane_fuzz_db_XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    std::ofstream(std::string(dir) + "/barcodes.ini")
        << "[]\nformat=\ntag.description=Unknown\n[12345]\nformat=price\ntag.description=Pen\n"
           "tag.price=1.99\n[raw]\nformat=raw\ntag.x=\\x00\\e${x}\n";
    std::ofstream(std::string(dir) + "/formats.ini")
        << "[]\n${description}\n[price]\n${description}\\n\nPrice: ${price}\n[raw]\n${x}\\x\\\n";
    return dir;
}

#endif
