# talvor: `make test` builds everything and runs the tests; `make test-asan`
# does the same under AddressSanitizer and UndefinedBehaviorSanitizer. Both
# install what they need first.

JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
PACKAGES := cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev clang \
            clang-format python3 vsmartcard-vpicc python3-pycryptodome \
            g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
            pcscd libpcsclite-dev pcsc-tools opensc python3-pyscard \
            vsmartcard-vpcd tshark

.PHONY: all deps configure build test test-asan bench fuzz demo format clean \
        windows install-pcsc

all: build

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

out/CMakeCache.txt: | deps
	cmake -S . -B out -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

configure: out/CMakeCache.txt

build: deps configure
	cmake --build out -j $(JOBS)

test: build
	ctest --test-dir out --output-on-failure -j $(JOBS)

out-asan/CMakeCache.txt: | deps
	cmake -S . -B out-asan -DCMAKE_BUILD_TYPE=Debug -DTALVOR_SANITIZE=ON \
	  -DTALVOR_BENCH=OFF $(CMAKE_FLAGS)

test-asan: deps out-asan/CMakeCache.txt
	cmake --build out-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir out-asan --output-on-failure -j $(JOBS)

bench: build
	for b in out/bench/*_bench; do $$b || exit 1; done

# pcscd serving Debian's vpcd and talvor's IFD handler side by side, in a
# mount namespace of its own (root).
.PHONY: bench-pcscd
bench-pcscd: build
	/usr/bin/python3 bench/pcscd_compare.py --build out

FUZZ_SECONDS ?= 60
FUZZ_TARGETS := smclib_fuzz_atr smclib_fuzz_t1 smclib_fuzz_device_control

# libFuzzer targets, built with clang in out-fuzz/ (they bring their own
# sanitizers); each runs FUZZ_SECONDS.
out-fuzz/CMakeCache.txt: | deps
	CC=clang CXX=clang++ cmake -S . -B out-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTALVOR_FUZZ=ON -DTALVOR_BENCH=OFF $(CMAKE_FLAGS)

fuzz: deps out-fuzz/CMakeCache.txt
	cmake --build out-fuzz -j $(JOBS) --target $(FUZZ_TARGETS)
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p out-fuzz/corpus/$$t && \
	  out-fuzz/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) out-fuzz/corpus/$$t || exit 1; \
	done

# talvor11.sys and talvor10.sys for x64 Windows, cross-built with mingw-w64
# (the tests build and check them too, in out/).
windows: deps
	cmake -S windows -B out-windows -DCMAKE_BUILD_TYPE=Release
	cmake --build out-windows -j $(JOBS)

# The tool and the two driver images it loads, then a whole session.
demo: deps configure
	cmake --build out -j $(JOBS) --target talvor talvor11 talvor10
	out/bin/talvor demo

# The IFD handler for pcscd: the handler, the libraries it loads and the two
# driver images in $(PCSC_PREFIX)/lib/talvor, and a reader.conf.d entry
# naming it. DESTDIR stages the whole install elsewhere.
PCSC_PREFIX ?= /usr/local
PCSC_CONF ?= /etc/reader.conf.d/talvor
PCSC_DEVICENAME ?= talvor:t1-lrc
PCSC_BUILD ?= out

install-pcsc: deps
	@test -f $(PCSC_BUILD)/CMakeCache.txt || \
	  cmake -S . -B $(PCSC_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(PCSC_BUILD) -j $(JOBS) --target talvor_ifd
	DESTDIR="$(DESTDIR)" cmake --install $(PCSC_BUILD) --component pcsc \
	  --prefix $(PCSC_PREFIX)
	mkdir -p "$(DESTDIR)$(dir $(PCSC_CONF))"
	printf '%s\n' '# The talvor reader (make install-pcsc)' \
	  'FRIENDLYNAME "Talvor reader"' 'DEVICENAME $(PCSC_DEVICENAME)' \
	  'LIBPATH $(PCSC_PREFIX)/lib/talvor/libtalvor_ifd.so' \
	  > "$(DESTDIR)$(PCSC_CONF)"
	@echo "Installed $(PCSC_PREFIX)/lib/talvor and $(PCSC_CONF)."
	@echo "Restart pcscd to load it: systemctl restart pcscd"

format:
	git ls-files '*.cpp' '*.h' '*.cc' | xargs clang-format -i

clean:
	rm -rf out out-asan out-fuzz out-windows
