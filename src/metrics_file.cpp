#include "metrics_file.h"

#include <ctime>
#include <sstream>

#include "log.h"
#include "platform_files.h"

constexpr std::chrono::seconds Metrics_file::period;

void Metrics_file::write(const Statistics& statistics, const Barcode_db& db, std::uint16_t port, Clock::time_point now,
                         bool serving)
{
    if (my_path.empty()) return;
    my_written_at = now;
    std::ostringstream text;
    statistics.write_metrics(text, db, port, std::time(nullptr), serving);
    Error error;
    File_replacement file;
    // Not flushed to the disk: the next write comes within a minute.
    const bool written = file.open(my_path, error) && file.write(text.str(), error) &&
                         file.commit(error, File_replacement::quick);
    if (!written && !my_failing)
        LOG_WRN("Metrics file " << my_path << " not written: " << error.text << ". It is tried again every minute.");
    if (written && my_failing) LOG_INF("Metrics file " << my_path << " written again.");
    my_failing = !written;
}
