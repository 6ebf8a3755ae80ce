# Front door: `make test` runs the whole suite, `make run` the main job.
SHELL := /bin/bash
JOBS  ?= $(shell nproc)
BUILD ?= build/asan

# What building and serving need (`make run`); the test suite, the benchmarks
# and the second compiler need the rest.
RUN_PACKAGES := cmake make g++ libssl-dev libcrypt-dev openssl libmicrohttpd-dev nginx-light libfcgi-dev
PACKAGES := $(RUN_PACKAGES) libgtest-dev libgmock-dev libbenchmark-dev clang
PACKAGES += chromium chromium-driver python3-selenium
PACKAGES += libsqlite3-dev python3-dbf python3-dbfread
PACKAGES += python3-aiosmtpd dovecot-pop3d

.PHONY: all deps run-deps configure build test tsan bench bench-peers run example clang fuzz clean format

all: build

# Installs only what is missing, so a prepared machine never touches apt.
define install-missing
	@missing=""; \
	for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  export DEBIAN_FRONTEND=noninteractive; \
	  apt-get update && apt-get install -y $$missing; \
	fi
endef

deps:
	$(call install-missing,$(PACKAGES))

run-deps:
	$(call install-missing,$(RUN_PACKAGES))

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=ON

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

# The suite again under ThreadSanitizer, in a build of its own, then a load
# of several clients on the example pages through nginx for TSAN_SECONDS
# seconds. Every process writes its reports to $(TSAN_BUILD)/reports; any
# report fails the run, as does any test. Not part of `make test`.
TSAN_BUILD ?= build/tsan
TSAN_SECONDS ?= 30
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	@reports=$(CURDIR)/$(TSAN_BUILD)/reports; rm -rf $$reports; mkdir -p $$reports; \
	export TSAN_OPTIONS="log_path=$$reports/tsan second_deadlock_stack=1"; status=0; \
	(cd $(TSAN_BUILD) && ctest --output-on-failure -j $(JOBS)) || status=1; \
	/usr/bin/python3 tests/server/page_load.py $(TSAN_BUILD) . $(TSAN_SECONDS) || status=1; \
	if ls $$reports/tsan.* >/dev/null 2>&1; then cat $$reports/tsan.*; echo "tsan: reports in $$reports"; status=1; fi; \
	exit $$status

bench: deps
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVORN_BENCH=ON -DVORN_TESTS=OFF
	cmake --build build/release -j $(JOBS)
	@for b in build/release/bench/*_bench; do [ -x "$$b" ] && "$$b"; done; true

# The interpreter against Lua 5.4 and PHP 8.2 on the same four workloads,
# whole process, with hyperfine (the script installs all three).
bench-peers:
	bench/peers/run.sh

# A second compiler finds what one misses: the suite built with clang, without
# the sanitizers. CI keeps g++; its suite has clang check the libraries'
# sources (ClangSyntax).
clang: deps
	CC=clang CXX=clang++ cmake -S . -B build/clang -DCMAKE_BUILD_TYPE=Debug
	cmake --build build/clang -j $(JOBS)
	cd build/clang && ctest --output-on-failure -j $(JOBS)

# The SQL front end's libFuzzer programs (clang), each run for FUZZTIME seconds
# from the seed corpus; new inputs land in build/fuzz/corpus (the checked-in
# seeds stay as they are), findings in build/fuzz/findings.
FUZZTIME ?= 60
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug -DVORN_FUZZ=ON
	cmake --build build/fuzz -j $(JOBS) --target SqlParseFuzzer SqlGenerateFuzzer
	@mkdir -p build/fuzz/findings build/fuzz/corpus
	@for f in SqlParseFuzzer SqlGenerateFuzzer; do \
	  build/fuzz/tests/$$f -max_total_time=$(FUZZTIME) -artifact_prefix=build/fuzz/findings/ \
	    build/fuzz/corpus tests/sqllib/front/fuzz/corpus || exit 1; \
	done

# Builds, assembles examples/web/ and serves it: nginx on 127.0.0.1:$(PORT) in
# front of vornfcgi and the extension, until Ctrl-C. An optimized build of its
# own, without the sanitizers of the tests. The registry, nginx's configuration,
# its log and its temporary files go to $(RUN_BUILD)/run/port-$(PORT), so that
# runs on two ports serve side by side; what the pages keep goes to
# $(RUN_BUILD)/run/data, which they share. A page is replaced only when it
# changed, and whole, since another run may be serving it. A port or state
# folder in use stops it before the build.
PORT ?= 8080
RUN_BUILD ?= build/run
run: run-deps
	@server/serve.sh --check --state $(RUN_BUILD)/run/port-$(PORT) --port $(PORT)
	cmake -S . -B $(RUN_BUILD) -DCMAKE_BUILD_TYPE=Release -DVORN_TESTS=OFF
	cmake --build $(RUN_BUILD) -j $(JOBS)
	@mkdir -p $(RUN_BUILD)/web
	@for f in examples/web/*.vra; do \
	  page=$(RUN_BUILD)/web/$$(basename $${f%.vra}).vrc; \
	  $(RUN_BUILD)/tools/vrasm -o $$page.$$$$ $$f || exit 1; \
	  if cmp -s $$page.$$$$ $$page; then rm $$page.$$$$; else mv $$page.$$$$ $$page; fi; \
	done
	@server/serve.sh --build $(RUN_BUILD) --root $(RUN_BUILD)/web --state $(RUN_BUILD)/run/port-$(PORT) \
	  --data $(RUN_BUILD)/run/data --port $(PORT) --registry-template examples/web/registry.conf.in

# Builds, assembles the command-line examples and runs one (EXAMPLE=loop runs
# another) with the examples as its script directory, so that VrDO finds the
# files beside it, and as its data directory, so that the files examples write
# stay in the build. The SQL library serves the type "vornsql" (EXAMPLE=sql).
EXAMPLE ?= function
example: build
	@mkdir -p $(BUILD)/examples
	@for f in examples/*.vra; do \
	  $(BUILD)/tools/vrasm -o $(BUILD)/examples/$$(basename $${f%.vra}).vrc $$f || exit 1; \
	done
	@echo "--- vrrun -s $(BUILD)/examples -d $(BUILD)/examples -t vornsql=$(BUILD)/sqllib/libvornsql.so $(EXAMPLE).vrc"
	@$(BUILD)/tools/vrrun -s $(BUILD)/examples -d $(BUILD)/examples -t vornsql=$(BUILD)/sqllib/libvornsql.so \
	  $(EXAMPLE).vrc

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
