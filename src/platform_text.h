// The system's converter between text encodings, part of the thin platform
// layer (see platform_files.h).
#ifndef ULVANE_PLATFORM_TEXT_H
#define ULVANE_PLATFORM_TEXT_H

#include <array>
#include <cstdint>
#include <string>

#include "error.h"

// The characters of a single-byte encoding as the system's converter has
// them: for each byte its Unicode code point, -1 for a byte that is no
// character of it. The encoding is `iconv_name` to iconv, `code_page` to
// Windows (whose 125x pages map their undefined bytes to C1 controls: those
// are no character here, as iconv has it). False, with why, when the system
// does not know it.
bool single_byte_characters(const char* iconv_name, unsigned code_page, std::array<std::int32_t, 256>& characters,
                            Error& error);

#endif
