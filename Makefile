# The two set-up commands: `make run` builds and starts the monitor, `make test`
# builds and runs every test. Both install what they need first, and so does
# `make deb`, which builds the Debian package into build-deb/.

JOBS ?= $(shell nproc)

.PHONY: all deps build run test test-normal test-asan test-tsan test-package deb bench fuzz \
	format clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

run: build
	scripts/run-monitor

test: deps
	scripts/run-tests

test-normal test-asan test-tsan test-package: deps
	scripts/run-tests $(@:test-%=%)

deb: deps
	scripts/build-deb

bench: build
	scripts/run-bench

fuzz: deps
	scripts/run-fuzz

format:
	clang-format -i $$(git ls-files -co --exclude-standard '*.cpp' '*.h' | grep -v '^tests/data/')

clean:
	rm -rf build build-asan build-tsan build-fuzz build-deb
