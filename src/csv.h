// CSV as spreadsheets and shop systems write and read it (RFC 4180, with
// the usual liberties): the writer the tools share, and a reader for whole
// files held in memory.
#ifndef ULVANE_CSV_H
#define ULVANE_CSV_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

// Appends `text` to `out` as one field: quoted (quotes doubled) when it
// holds a comma, a quote, a carriage return or a line feed, else as it is.
// With `as_text` (text that anyone may have chosen, such as a barcode sent
// over the network) it is always quoted, and a field that a spreadsheet
// would take for a formula (=, +, -, @, a tab or a carriage return first)
// begins with ', which makes it text.
void append_csv_field(std::string& out, std::string_view text, bool as_text = false);

// Whether `text` can be read as CSV of one byte a character (whatever other
// bytes it holds); not when it is UTF-16 (either byte order, with or
// without a byte order mark) or its lines end in a carriage return alone,
// and `why` says what to save it as instead.
bool readable_encoding(std::string_view text, Error& why);

// Reads the records of a CSV text one by one. The delimiter is the one of
// comma, semicolon and tab that the first line holds most often outside
// quotes (a comma when none), or the one a first line "sep=X" names, as
// Excel writes and reads it (that line is no record). A UTF-8 byte order mark at the start is
// skipped; a record ends at a line feed or a carriage return and line feed
// outside quotes; a quoted field may hold delimiters, line breaks and
// doubled quotes; bytes are otherwise passed through. Text after a closing
// quote is kept, as spreadsheets keep it.
class Csv_reader {
public:
    explicit Csv_reader(std::string_view text);

    char delimiter() const { return my_delimiter; }
    // Whether every record was read (or reading failed).
    bool at_end() const { return my_at >= my_text.size(); }
    // The next record's fields, which there must be (see at_end); false,
    // with why, where a quote is never closed or a line ends in a carriage
    // return alone: reading ends there.
    bool next(std::vector<std::string>& fields, Error& error);
    // The line the record last read begins at, from 1.
    unsigned long line() const { return my_record_line; }

private:
    std::string_view my_text;
    std::size_t my_at = 0;
    unsigned long my_line = 1;
    unsigned long my_record_line = 0;
    char my_delimiter = ',';
};

#endif
