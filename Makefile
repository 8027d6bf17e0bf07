# A thin wrapper over CMake; the build lives in build/.
BUILD := build
JOBS := $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60

.PHONY: all run try test bench fuzz clean windows test-windows install package package-windows

all:
	tools/install_packages.sh run
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

# Builds the server alone: the first answer should not wait for every test.
run:
	tools/install_packages.sh run
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS) --target ulvane_server
	$(BUILD)/ulvane_server -db=examples/db

# An answer on this one machine (as root): the server in one network
# namespace, ulvane_scan in another, joined by a veth pair.
try:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS) --target ulvane_server ulvane_scan
	examples/two-hosts.sh 12345 999

# Installs what it needs first (GoogleTest among them: without it no test
# is built, and this fails).
test:
	tools/install_packages.sh test
	$(MAKE) all
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS) -LE slow

# The programs, the README and the systemd unit, under PREFIX.
PREFIX ?= /usr/local
install:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(BUILD) -j $(JOBS)
	cmake --install $(BUILD)

# The Debian package, ulvane-server_VERSION_amd64.deb, in build-package/.
PROGRAMS := ulvane_server ulvane_scan ulvane_check ulvane_report ulvane_export ulvane_import
# Built with Debian's hardening flags (dpkg-buildflags), as its packages are.
package:
	CXXFLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" LDFLAGS="$$(dpkg-buildflags --get LDFLAGS)" \
	  cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DULVANE_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr \
	  -DCMAKE_INSTALL_DOCDIR=share/doc/ulvane-server -DULVANE_SYSTEMD_UNIT_DIR=/lib/systemd/system
	cmake --build build-package -j $(JOBS) --target $(PROGRAMS)
	rm -f build-package/ulvane-server_*_amd64.deb # an earlier commit's, under another version
	tools/make_deb.sh build-package build-package $$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-package/CMakeCache.txt)

# The Windows Installer package, ulvane-server-VERSION-x64.msi, in
# build-windows/ (wixl, Debian's package wixl).
package-windows: windows
	rm -f build-windows/ulvane-server-*-x64.msi
	tools/make_msi.sh build-windows build-windows $$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-windows/CMakeCache.txt)

bench: all
	bench/run_benchmarks.sh $(BUILD)

fuzz:
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DULVANE_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-fuzz -j $(JOBS)
	tests/fuzz/run_fuzzers.sh build-fuzz $(FUZZ_SECONDS)

# The Windows build, cross-compiled with mingw-w64: build-windows/*.exe.
windows:
	cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build build-windows -j $(JOBS)

# Its unit tests, and the end-to-end tests against its programs, under Wine
# with a fresh prefix (as root, for the network namespaces).
WINE_ENV := WINEPREFIX=$(CURDIR)/build-wine/wineprefix WINEDEBUG=-all
test-windows: windows
	cmake -S . -B build-wine -DCMAKE_BUILD_TYPE=Release -DULVANE_BENCH=OFF -DULVANE_WINDOWS_BUILD_DIR=$(CURDIR)/build-windows
	cmake --build build-wine -j $(JOBS) --target program_tests_windows
	rm -rf build-wine/wineprefix build-wine/wineprefix-terminal
	# Each prefix's server stays up for the whole run: one that ends between
	# two tests while the next program connects fails that program
	# ("wine client error: recvmsg: Connection reset by peer").
	mkdir -p build-wine/wineprefix build-wine/wineprefix-terminal
	$(WINE_ENV) wineserver -p
	WINEPREFIX=$(CURDIR)/build-wine/wineprefix-terminal wineserver -p
	$(WINE_ENV) wineboot -i >/dev/null 2>&1
	WINEPREFIX=$(CURDIR)/build-wine/wineprefix-terminal WINEDEBUG=-all wineboot -i >/dev/null 2>&1
	cd build-windows && $(WINE_ENV) ctest --output-on-failure
	cd build-wine && $(WINE_ENV) ctest --output-on-failure -L windows; status=$$?; \
	  $(WINE_ENV) wineserver -k; WINEPREFIX=$(CURDIR)/build-wine/wineprefix-terminal wineserver -k; exit $$status

clean:
	rm -rf $(BUILD) build-sanitize build-fuzz build-windows build-wine build-package
