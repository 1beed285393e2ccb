# The project's two everyday commands, and a few more for developers.
#   make test   installs what is missing, builds the debug preset (warnings are errors), checks
#               the layout with clang-format and the include graph against the layers, runs
#               every test, then runs the threaded tests again under ThreadSanitizer (the tsan
#               preset)
#   make run    runs the program against the local stand-in service with demo data
#   make windows  cross-builds the core, zavzip and the tests for Windows (MinGW-w64) and runs
#               the tests under Wine against a natively built zav-service
#   make tidy   clang-tidy (.clang-tidy) over the client's sources; fails on any finding
.PHONY: test run build deps tsan windows fuzz tidy bench format clean

JOBS ?= $(shell nproc)

deps:
	@scripts/install-deps

build: deps
	cmake --preset debug
	cmake --build --preset debug -j $(JOBS)

test: build
	@scripts/check-format
	@scripts/check-includes
	ctest --preset debug -j $(JOBS)
	$(MAKE) --no-print-directory tsan

run: deps
	@scripts/run-demo

tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

windows: deps
	cmake --preset debug
	cmake --build --preset debug -j $(JOBS) --target zav-service zavzip
	cmake --preset windows
	cmake --build --preset windows -j $(JOBS)
	ctest --preset windows -j $(JOBS)

fuzz: deps
	@scripts/run-fuzzers

tidy: deps
	cmake --preset debug
	@scripts/run-clang-tidy

bench: deps
	@scripts/run-benchmarks

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
