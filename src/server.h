// The program: command line, start-up, and serving terminals over UDP.
#ifndef ULVANE_SERVER_H
#define ULVANE_SERVER_H

#include <string>

// The whole program; main() only hands over to it. Returns the exit status:
// 0 after the help text or when the first database load fails, -1 when the
// socket layer cannot start, for an unknown option and when the port cannot
// be bound. Otherwise it serves until the process is stopped.
int server_main(int argc, char** argv);

// A number of an option, read as atoi reads it: leading white space, a sign,
// digits up to the first non-digit; 0 without digits. Values beyond the
// range of a 32-bit int are clamped to INT_MIN / INT_MAX.
int option_number(const char* text);

#endif
