// Reading a command line, as the server and every tool read theirs: each
// argument is one option, "-name" or "-name=value" (the value never taken
// from the next argument), or an operand; read from left to right.
#ifndef ULVANE_COMMAND_LINE_H
#define ULVANE_COMMAND_LINE_H

#include <string>
#include <string_view>

// A number of an option, read as atoi reads it: leading white space, a sign,
// digits up to the first non-digit; 0 without digits. Values beyond the
// range of a 32-bit int are clamped to INT_MIN / INT_MAX.
int option_number(const char* text);

// A value that must be whole and in range (a port, a time): digits alone,
// from `least` to `most` (both at most 999,999,999). False for anything else
// ("abc", "-5", "+9000", " 9000", "70000" for a port), with `value` -1.
bool whole_number(const std::string& text, int least, int most, int& value);

// Whether `argument` begins with `prefix` ("-db="): then `value` is the
// rest, which may be empty. Lines of "name=value" are read alike.
bool option_value(std::string_view argument, std::string_view prefix, std::string& value);

// The next entry of a comma-separated value ("10.1.0.0/16,192.168.10.7"),
// taken off `list`; the last one when no comma follows.
std::string next_list_entry(std::string_view& list);

// False, said on standard error as "PROGRAM: why", when an argument did not
// reach the program whole (a path with a character outside the Windows code
// page it ran in): the program refuses to run rather than work on a
// look-alike.
bool arguments_are_whole(const char* program);

class Command_line {
public:
    Command_line(int argc, char** argv) : my_argc(argc), my_argv(argv) {}

    // Moves to the next argument (the first at the first call); false when
    // there is none.
    bool next() { return ++my_at < my_argc; }
    const char* argument() const { return my_argv[my_at]; }
    // The argument's place in argv (argc once next() found none).
    int index() const { return my_at; }
    bool is_option() const { return argument()[0] == '-'; }

    // Whether the argument is `flag` itself ("-r").
    bool flag(const char* flag) const;
    // Whether the argument begins with `prefix` ("-db="): then `value` is
    // the rest, which may be empty; a number is read by option_number.
    bool text(const char* prefix, std::string& value) const;
    bool number(const char* prefix, int& value) const;

private:
    int my_argc;
    char** my_argv;
    int my_at = 0;
};

#endif
