# Top-level commands: `make run` builds and starts the server on ./data; `make test` builds and
# runs every test twice, once plain and once under AddressSanitizer + UndefinedBehaviorSanitizer.
JOBS ?= $(shell nproc)
# Most tests spend their time waiting on sockets and timers, so more of them run at once than
# there are cores; sanitized tests need more CPU each, so fewer of those.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 4 )))
ASAN_TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 2 )))
BUILD := build
ASAN_BUILD := build-asan

.PHONY: all build asan run test test-plain test-asan deps clean fuzz fuzz-build fuzz-deps fuzz-seeds package install web-screenshots

all: build

# Installs what a fresh Debian machine may lack; a no-op when everything is present.
deps:
	@missing=""; \
	command -v cmake >/dev/null || missing="$$missing cmake"; \
	command -v g++ >/dev/null || missing="$$missing g++"; \
	command -v ninja >/dev/null || missing="$$missing ninja-build"; \
	[ -f /usr/include/gtest/gtest.h ] || missing="$$missing libgtest-dev"; \
	command -v node >/dev/null || missing="$$missing nodejs"; \
	[ -x /usr/bin/chromium ] || missing="$$missing chromium"; \
	[ -x /usr/bin/chromedriver ] || missing="$$missing chromium-driver"; \
	/usr/bin/python3 -c "import selenium" 2>/dev/null || missing="$$missing python3-selenium"; \
	[ -x /usr/sbin/squid ] || missing="$$missing squid"; \
	[ -f /usr/include/openssl/ssl.h ] || missing="$$missing libssl-dev"; \
	[ -f /usr/include/liburing.h ] || missing="$$missing liburing-dev"; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

# Both builds compile in unity batches per folder (KX_QUICK_BUILD, see docs/build.md): most of a
# fresh build's time is headers and templates (GoogleTest's above all) compiled over and over.
$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_QUICK_BUILD=ON

$(ASAN_BUILD)/build.ninja: | deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKX_SANITIZE=ON -DKX_QUICK_BUILD=ON

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

asan: $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)

run: build
	mkdir -p data
	./$(BUILD)/kestrix-server --dir ./data

# The test runs need the test binary, the server and the client (its dependencies), not the
# benchmarks; `make build` still builds those.
test-plain: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target kestrix_tests
	cd $(BUILD) && ctest -j $(TEST_JOBS) --output-on-failure --timeout 180

# The sanitizer run needs only the test binary (and the server it starts), not the benchmarks.
test-asan: $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target kestrix_tests
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest -j $(ASAN_TEST_JOBS) --output-on-failure --timeout 300

test: test-plain test-asan

# Retakes the web client's screenshots in docs/web-client/ (the browser test writes them there).
web-screenshots: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target kestrix-server kestrix
	KX_WEB_SCREENSHOTS=$(CURDIR)/docs/web-client /usr/bin/python3 tests/web/browser_test.py \
	  --server $(BUILD)/kestrix-server --client $(BUILD)/kestrix --seeds tests/fuzz/corpus

# The Debian package (build/kestrix_VERSION_ARCH.deb) and the same files installed without it:
# `make install PREFIX=/usr/local DESTDIR=/tmp/stage`. See docs/packaging.md.
PREFIX ?= /usr/local
DESTDIR ?=

package: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target kestrix-server kestrix
	cd $(BUILD) && cpack -G DEB

install: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target kestrix-server kestrix
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)" --strip

# Fuzzing (clang + libFuzzer): `make fuzz` runs every target FUZZ_SECONDS seconds (one at a time)
# and reports executions and findings; FUZZ_TARGETS="field_data transact" picks some.
FUZZ_BUILD := build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=

# Installs clang and the libFuzzer runtime of its version when missing.
fuzz-deps:
	@missing=""; \
	command -v clang++ >/dev/null || missing="$$missing clang"; \
	if command -v clang++ >/dev/null; then \
	  major=$$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n1); \
	  rt=$$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a; \
	  [ -f "$$rt" ] || missing="$$missing libclang-rt-$$major-dev"; \
	fi; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi; \
	if ! command -v clang++ >/dev/null; then echo "clang++ is still missing"; exit 1; fi; \
	rt=$$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a; \
	if [ ! -f "$$rt" ]; then \
	  major=$$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n1); \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libclang-rt-$$major-dev; \
	fi

$(FUZZ_BUILD)/build.ninja: | deps fuzz-deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DKX_FUZZ=ON

fuzz-build: fuzz-deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_all

fuzz: fuzz-build
	tests/fuzz/run_fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Regenerates the committed seed corpora from the system's own writers.
fuzz-seeds: fuzz-build
	./$(FUZZ_BUILD)/fuzz_make_seeds tests/fuzz/corpus

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
