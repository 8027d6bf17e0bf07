// The metrics file (-stats=FILE): what the statistics count, in the text
// format that Prometheus's exporters take from their text-file collectors.
#ifndef ULVANE_METRICS_FILE_H
#define ULVANE_METRICS_FILE_H

#include <chrono>
#include <string>

#include "statistics.h"

// Written at the start, every `period` and at the stop, each time whole
// under a temporary name and renamed over the old file: a collector reads
// the old file or the new one, never a part. A file that cannot be written
// is said once (WRN) until a write succeeds again (INF); the server serves
// on meanwhile.
class Metrics_file {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds period{60};

    // Empty `path`: no file. The first write is the caller's, at the start.
    explicit Metrics_file(std::string path = std::string()) : my_path(std::move(path)), my_written_at(Clock::now()) {}
    // True when the file is to be written at `now`: `period` after the last.
    bool due(Clock::time_point now) const { return !my_path.empty() && now - my_written_at >= period; }
    // Every sample carries the label port="PORT", the port the server answers
    // at; the file says when it was written, and `serving` false at the stop.
    void write(const Statistics& statistics, const Barcode_db& db, std::uint16_t port, Clock::time_point now,
               bool serving);

private:
    std::string my_path;
    Clock::time_point my_written_at;
    bool my_failing = false; // the last write failed, and said so
};

#endif
