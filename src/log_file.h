// A log file as ulvane_report reads it: plain, or compressed with gzip as
// logrotate's "compress" leaves it (server.log.2.gz), told by its first
// bytes rather than its name.
#ifndef ULVANE_LOG_FILE_H
#define ULVANE_LOG_FILE_H

#include <cstddef>
#include <string>
#include <vector>

#include "error.h"

struct gzFile_s;

class Log_file {
public:
    Log_file() = default;
    Log_file(const Log_file&) = delete;
    Log_file& operator=(const Log_file&) = delete;
    ~Log_file();

    // False, with why, when `path` cannot be opened.
    bool open(const std::string& path, Error& error);
    // The next line, without its line end, cut at `longest` bytes (the
    // rest of a longer line is passed over and counted); false at the end,
    // or where a compressed file is damaged (see error()).
    bool next(std::string& line, std::size_t longest);
    // Whether the file is compressed; known after the first next().
    bool compressed() const;
    std::size_t cut_lines() const { return my_cut_lines; }
    // Why reading stopped before the end (a damaged or cut-short gzip
    // file); empty when it did not.
    const std::string& error() const { return my_error; }

private:
    bool fill();

    gzFile_s* my_file = nullptr;
    std::vector<char> my_buffer = std::vector<char>(256 * 1024);
    std::size_t my_at = 0, my_end = 0;
    std::size_t my_cut_lines = 0;
    std::string my_error;
};

#endif
