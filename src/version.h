// The version of every program of this project, set once as the project's
// VERSION in CMakeLists.txt, which hands it to the compiler as
// ULVANE_VERSION. The server names it in its Ready line, each tool in its
// usage text and for -version, the Windows programs in their version
// resource, and the packages in their names.
#ifndef ULVANE_VERSION_H
#define ULVANE_VERSION_H

constexpr const char* ulvane_version = ULVANE_VERSION;

// True when the one argument is -version: "PROGRAM VERSION" is then written
// on standard output, and the program ends with status 0.
bool version_asked(int argc, char** argv, const char* program);

#endif
