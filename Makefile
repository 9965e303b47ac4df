# Top-level commands: `make run` builds and starts the server on ./data; `make test` builds and
# runs every test twice, once plain and once under AddressSanitizer + UndefinedBehaviorSanitizer.
JOBS ?= $(shell nproc)
BUILD := build
ASAN_BUILD := build-asan

.PHONY: all build asan run test test-plain test-asan deps clean

all: build

# Installs what a fresh Debian machine may lack; a no-op when everything is present.
deps:
	@missing=""; \
	command -v cmake >/dev/null || missing="$$missing cmake"; \
	command -v g++ >/dev/null || missing="$$missing g++"; \
	command -v ninja >/dev/null || missing="$$missing ninja-build"; \
	[ -f /usr/include/gtest/gtest.h ] || missing="$$missing libgtest-dev"; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(ASAN_BUILD)/build.ninja: | deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKX_SANITIZE=ON

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

asan: $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)

run: build
	mkdir -p data
	./$(BUILD)/kestrix-server --dir ./data

test-plain: build
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure --timeout 180

test-asan: asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest -j $(JOBS) --output-on-failure --timeout 300

test: test-plain test-asan

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
