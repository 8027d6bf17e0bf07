// The version of every program of this project, MAJOR.MINOR.COMMITS, made
// once by cmake/version.cmake (higher with every commit). The server names
// it in its Ready line, each tool in its usage text and for -version, the Windows programs in their version
// resource, and the packages in their names.
#ifndef ULVANE_VERSION_H
#define ULVANE_VERSION_H

extern const char ulvane_version[];

// True when the one argument is -version: "PROGRAM VERSION" is then written
// on standard output, and the program ends with status 0.
bool version_asked(int argc, char** argv, const char* program);

#endif
