# harmonic-station: `make test` installs what is missing, builds and runs every test;
# `make demo` runs a measurement against the simulated recorders.
BUILD      ?= build
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
WERROR     := $(if $(filter true,$(CI)),ON,OFF)
# qt6-websockets-dev: Qt HTTP Server's CMake files ask for it, its package does not.
PACKAGES   := cmake ninja-build g++ qt6-base-dev qt6-httpserver-dev qt6-websockets-dev \
              libgtest-dev libgmock-dev libbenchmark-dev fonts-noto-cjk chromium \
              libmosquitto-dev mosquitto libqt6sql6-sqlite libqt6sql6-psql postgresql \
              postgresql-common pkgconf
SUDO       := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
EXE        := $(BUILD)/harmonic-station
# ccache, when the machine has it, shares compiled objects between checkouts.
LAUNCHER   := $(shell command -v ccache >/dev/null 2>&1 && echo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

.PHONY: all deps configure build test test-sanitize demo bench clean format

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -q && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing; \
	fi

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DHS_WERROR=$(WERROR) $(LAUNCHER)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# In CI the suite runs a second time, built with the address and undefined-behaviour sanitizers.
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(if $(filter true,$(CI)),$(MAKE) test-sanitize)

# Any sanitizer report fails the test that caused it. Leaks are not checked: Qt's plugins and
# font caches live until exit by design. A failing test runs up to three times: the instrumented
# program is several times slower, and the tests' small time scales can leave an interval
# without a shot; a sanitizer report fails every run that reaches it.
SAN_BUILD  ?= build-sanitize
test-sanitize: deps
	cmake -S . -B $(SAN_BUILD) -G Ninja -DHS_WERROR=$(WERROR) -DENABLE_SANITIZERS=ON $(LAUNCHER)
	cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) --repeat until-pass:3

demo: build
	@scripts/demo.sh $(EXE)

bench: configure
	cmake -S . -B $(BUILD) -DHS_BUILD_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)
	@for b in $(BUILD)/bench/bench_*; do echo "== $$b"; $$b || exit 1; done

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
