// Helpers of the database's tests: reading a file's text into a database
// with the log captured, and looking at the tags read.
#ifndef ULVANE_DATABASE_TEST_UTIL_H
#define ULVANE_DATABASE_TEST_UTIL_H

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "database.h"
#include "log.h"
#include "test_util.h"

// Runs `body` at `level` with the log captured, and returns the log lines
// ("LABEL message") without their source positions.
template <typename Body>
std::vector<std::string> logged(unsigned level, Body body)
{
    Log_capture capture;
    set_log_level(level);
    body();
    set_log_level(3);
    std::vector<std::string> lines = capture.lines();
    for (std::string& l : lines) l = without_source_position(l);
    return lines;
}

using Lines = std::vector<std::string>;

// Reads a barcodes or formats file from text; returns the log lines.
inline Lines read_barcodes(Barcode_db& db, const std::string& text, unsigned level = 3)
{
    return logged(level, [&] {
        std::istringstream in(text);
        db.load_barcodes(in);
    });
}

inline Lines read_formats(Barcode_db& db, const std::string& text, unsigned level = 3)
{
    return logged(level, [&] {
        std::istringstream in(text);
        db.load_formats(in);
    });
}

// The tags of a barcode that must be in the table.
inline Barcode_tags at(const Barcode_db& db, const std::string& barcode)
{
    Barcode_tags tags;
    EXPECT_TRUE(db.barcodes().find(barcode, tags)) << barcode;
    return tags;
}

// The tags of `barcode`, read from the barcodes file `text` into `db`.
inline Barcode_tags tags_of(Barcode_db& db, const std::string& text, const std::string& barcode)
{
    read_barcodes(db, text);
    return at(db, barcode);
}

// The value of `tag` in `tags`, or "(none)".
inline std::string value_of(const Barcode_tags& tags, const std::string& tag)
{
    std::string_view value;
    return tags.find(tag, value) ? std::string(value) : "(none)";
}

// Reads the barcodes and formats files from text into `db`.
inline Barcode_db& database(Barcode_db& db, const std::string& barcodes, const std::string& formats)
{
    std::istringstream b(barcodes), f(formats);
    db.load_barcodes(b);
    db.load_formats(f);
    return db;
}

#endif
