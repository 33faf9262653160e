# The short commands. `make test` is the one CI runs: it installs what is missing, configures,
# builds and runs every test.

SHELL := /bin/bash

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
SECONDS ?= 60
BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
LUAJIT_DIR ?= build-luajit
FUZZ_DIR ?= build-fuzz
WINDOWS_DIR ?= build-windows
CMAKE_FLAGS ?=

.PHONY: all deps configure build demo test test-luajit sanitize valgrind bench fuzz check-win32 windows-deps windows \
        test-windows clean

all: build

deps:
	scripts/install-deps.sh

# The generated Makefile, not the cache, marks a finished configure: a configure that failed
# (a package missing) leaves a cache behind and must run again.
$(BUILD_DIR)/Makefile:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRDB_WERROR=ON $(CMAKE_FLAGS)

configure: $(BUILD_DIR)/Makefile

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The sample ruleset and its two mods loaded into examples.db with their conflicts, the history of
# one value, the check, and the report of a script.
ZRDB := $(BUILD_DIR)/tools/zrdb/zrdb
DEMO_TAGS := --tag-table Units --tag-table Buildings
demo: deps
	$(MAKE) build
	rm -f examples.db
	$(ZRDB) load examples/data --package MOD_EXAMPLE examples/mod --package MOD_RIVAL examples/mod2 $(DEMO_TAGS) \
	    --validate --conflicts -o examples.db
	$(ZRDB) why examples.db Units UNIT_REED_RAIDER Cost
	$(ZRDB) check examples.db
	$(ZRDB) run --db examples.db examples/scripts/report.lua

test: deps
	$(MAKE) build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The scripting tests against LuaJIT instead of Lua 5.1.
test-luajit: deps
	cmake -S . -B $(LUAJIT_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRDB_LUA=luajit -DZRDB_BUILD_BENCH=OFF \
	    -DZRDB_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(LUAJIT_DIR) -j $(JOBS)
	cd $(LUAJIT_DIR) && ctest --output-on-failure -j $(JOBS) -R Lua

# The tests again, built with AddressSanitizer and UndefinedBehaviorSanitizer in a folder of their
# own; any report fails the run.
sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=Debug -DZRDB_SANITIZE=ON -DZRDB_BUILD_BENCH=OFF \
	    -DZRDB_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && \
	    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ctest --output-on-failure -j $(JOBS)

# Every benchmark program once; SQLite's memory set-up is chosen per process, so its benchmark runs
# twice, once per set-up, and the ratio of the two is printed.
bench: deps
	$(MAKE) build
	@for program in $(BUILD_DIR)/bench/*_bench; do \
	    case $$program in *sqlite_memory_bench) continue;; esac; \
	    echo "== $$program"; $$program || exit 1; \
	done
	@echo "== SQLite inserts: system allocator, then the library's memory set-up"
	@$(BUILD_DIR)/bench/sqlite_memory_bench --allocator=system | tee $(BUILD_DIR)/bench/system.txt
	@$(BUILD_DIR)/bench/sqlite_memory_bench --allocator=library | tee $(BUILD_DIR)/bench/library.txt
	@awk '/^BM_InsertRows/ { t[FILENAME] = $$2 } END { \
	    printf "library / system time: %.3f\n", t["$(BUILD_DIR)/bench/library.txt"] / t["$(BUILD_DIR)/bench/system.txt"] }' \
	    $(BUILD_DIR)/bench/system.txt $(BUILD_DIR)/bench/library.txt

# The tests again under valgrind memcheck, in a folder of their own; the programs the tests start
# (zrdb, the example host) are followed too. Any error or leak fails the run.
VALGRIND_DIR ?= build-valgrind
VALGRIND := valgrind;--error-exitcode=99;--leak-check=full;--show-leak-kinds=definite,indirect;--errors-for-leak-kinds=definite,indirect;--trace-children=yes;--quiet
valgrind: deps
	cmake -S . -B $(VALGRIND_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRDB_BUILD_BENCH=OFF -DZRDB_WERROR=ON \
	    "-DZRDB_TEST_LAUNCHER=$(VALGRIND)" $(CMAKE_FLAGS)
	cmake --build $(VALGRIND_DIR) -j $(JOBS)
	cd $(VALGRIND_DIR) && ctest --output-on-failure -j $(JOBS)

# Each fuzz target runs for SECONDS seconds on a copy of its seed corpus; its executions, coverage,
# corpus size and findings are printed, and a finding (a crash, a sanitizer report, undefined
# behaviour, an input slower than a minute) fails the command.
fuzz: deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DZRDB_BUILD_FUZZ=ON -DZRDB_BUILD_TESTS=OFF -DZRDB_BUILD_BENCH=OFF -DZRDB_INSTALL=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	@for program in $(FUZZ_DIR)/fuzz/*_fuzz; do \
	    name=$$(basename $$program); \
	    mkdir -p $(FUZZ_DIR)/corpus/$$name; \
	    if [ -d fuzz/corpus/$$name ]; then cp -n fuzz/corpus/$$name/* $(FUZZ_DIR)/corpus/$$name/ 2>/dev/null || true; fi; \
	    dict=""; if [ -f fuzz/$$name.dict ]; then dict="-dict=fuzz/$$name.dict"; fi; \
	    echo "== $$name for $(SECONDS) s"; \
	    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    $$program $$dict -max_total_time=$(SECONDS) -timeout=60 -print_final_stats=1 \
	        -artifact_prefix=$(FUZZ_DIR)/ $(FUZZ_DIR)/corpus/$$name 2>&1 | \
	        grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added|==[0-9]+== ?ERROR|SUMMARY|artifact_prefix|Test unit written)|runtime error' ; \
	    status=$${PIPESTATUS[0]}; \
	    if [ "$$status" -ne 0 ]; then echo "$$name: findings (exit $$status)"; exit 1; fi; \
	    echo "$$name: no findings"; \
	done

# The Win32 implementations of the platform layer, compiled (not linked) with a Windows compiler:
# the quick check; `make windows` builds everything.
check-win32: deps
	@for source in ZrGameDatabase/platform/*Win32.cpp; do \
	    echo "i686-w64-mingw32-g++ $$source"; \
	    i686-w64-mingw32-g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -Iinclude -IZrGameDatabase $$source || exit 1; \
	done

# The 32-bit Windows build, in a folder of its own: SQLite, Lua and GoogleTest compiled from their
# Debian source packages, then ZrGameDatabase.dll (its exports checked against
# ZrGameDatabase/ZrGameDatabase.exports), zrdb.exe and the test programs, all in $(WINDOWS_DIR)/bin.
windows-deps: deps
	scripts/install-windows-deps.sh

windows: windows-deps
	scripts/fetch-windows-sources.sh $(WINDOWS_DIR)/sources
	@if [ ! -f $(WINDOWS_DIR)/Makefile ]; then \
	    echo "cmake -S . -B $(WINDOWS_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake ..."; \
	    cmake -S . -B $(WINDOWS_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	        -DZRDB_WINDOWS_SOURCES=$(abspath $(WINDOWS_DIR))/sources -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	        -DZRDB_BUILD_BENCH=OFF -DZRDB_WERROR=ON -DZRDB_LINUX_ZRDB=$(abspath $(ZRDB)) $(CMAKE_FLAGS) || exit 1; \
	fi
	cmake --build $(WINDOWS_DIR) -j $(JOBS)

# Every test program of the Windows build under Wine, in a Wine prefix of the build folder. The
# prefix is made once (wineboot), so that the first test does not spend its time setting it up.
# The Linux build is made too: one test compares the Windows zrdb's output with the Linux one's.
WINE_ENV := WINEPREFIX=$(abspath $(WINDOWS_DIR))/wine WINEDEBUG=-all WINEARCH=win32
test-windows: windows
	$(MAKE) build
	@if ! dpkg-query -W -f='$${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then \
	    echo "test-windows: Wine could not be installed (see above): the Windows programs were built and"; \
	    echo "test-windows: their exports checked, but none of them was run"; \
	    exit 0; \
	fi; \
	if [ ! -f $(WINDOWS_DIR)/wine/system.reg ]; then \
	    echo "wineboot -i (a new Wine prefix in $(WINDOWS_DIR)/wine)"; \
	    $(WINE_ENV) wineboot -i && $(WINE_ENV) wineserver -w || exit 1; \
	fi; \
	cd $(WINDOWS_DIR) && $(WINE_ENV) ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(LUAJIT_DIR) $(FUZZ_DIR) $(VALGRIND_DIR) $(WINDOWS_DIR)
