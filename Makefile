# Front door: `make` installs what is missing, configures and builds;
# `make check` runs every test; `make demo` shows the tools at work;
# `make install` (PREFIX, DESTDIR) and `make uninstall` put the suite in
# place and take it away again.
BUILD ?= build
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo Ninja || echo "Unix Makefiles")
JOBS ?= 2
PREFIX ?= /usr/local

.PHONY: all deps configure build check demo install uninstall clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -G "$(GENERATOR)"

build: configure
	cmake --build $(BUILD) -j $(JOBS)

check: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	@scripts/demo $(BUILD)

install: build
	cmake --build $(BUILD) -j $(JOBS) --target tarvo_shared
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

uninstall:
	DESTDIR="$(DESTDIR)" cmake --build $(BUILD) --target uninstall

clean:
	rm -rf $(BUILD) build-asan build-fuzz
