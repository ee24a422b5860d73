# The two commands of the README: `make demo` and `make test`.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: setup configure build test demo test-sanitize fuzz fuzz-build clean package package-check

setup:
	bash scripts/setup.sh

configure: setup
	@if [ ! -f $(BUILD)/build.ninja ]; then cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS); fi

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# A failing test is run a second time before the suite fails, and ctest
# still prints every first failure, so that a test that only fails under
# load shows rather than hides. (The one such failure seen, a whole run that
# ended with code 1 under a fake clock, was the faketime wrapper's own
# semaphore clash; the tests now preload libfaketime themselves.)
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600 --repeat until-pass:2

demo: build
	bash scripts/demo.sh $(BUILD)

# The suite under AddressSanitizer and UndefinedBehaviorSanitizer. The
# programs report processor faults themselves (crash dumps), so the
# sanitizer leaves SIGSEGV, SIGBUS and SIGFPE to their handlers; any
# undefined behaviour stops the program that has it.
SANITIZE_ENV = ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:allow_user_segv_handler=1:detect_leaks=1:verify_asan_link_order=0 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizer/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

test-sanitize:
	$(SANITIZE_ENV) $(MAKE) test BUILD=build-sanitize CMAKE_FLAGS=-DHALVEX_SANITIZE=ON

# libFuzzer targets, built with clang in their own directory; `make fuzz`
# runs each for FUZZ_SECONDS over its corpus in fuzz-corpus/<target> (seeded
# from tests/fuzz-seeds/<target>); a failing input lands in
# fuzz-artifacts/<target>/. `make -j2 fuzz` runs two at a time.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_FLAGS ?=
FUZZ_TARGETS = w3c_fuzz configuration_fuzz log_locations_fuzz cmdline_fuzz datetime_fuzz vaformat_fuzz registry_fuzz av_recipients_fuzz

fuzz-build: setup
	@if [ ! -f $(FUZZ_BUILD)/build.ninja ]; then CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DHALVEX_FUZZ=ON; fi
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZ_TARGETS)

fuzz: $(addprefix fuzz-run-,$(FUZZ_TARGETS))

fuzz-run-%: fuzz-build
	@mkdir -p fuzz-corpus/$* fuzz-artifacts/$*
	$(FUZZ_BUILD)/bin/$* -max_total_time=$(FUZZ_SECONDS) -timeout=30 -print_final_stats=1 \
		-artifact_prefix=fuzz-artifacts/$*/ $(FUZZ_FLAGS) fuzz-corpus/$* tests/fuzz-seeds/$*

clean:
	rm -rf $(BUILD)

# The long soak: eight instances at once, twenty rounds, first undisturbed,
# then with one instance killed in every other round, then two hundred rounds
# with read faults in every other round and kills. SOAK_SEED=N replays a run.
.PHONY: soak
soak: build
	seed=$${SOAK_SEED:-$$(date +%s)}; \
	$(BUILD)/bin/soak --instances 8 --rounds 20 --seed $$seed && \
	$(BUILD)/bin/soak --instances 8 --rounds 20 --kills --kill-every 2 --seed $$seed && \
	$(BUILD)/bin/soak --instances 4 --rounds 200 --faults --kills --kill-every 3 --seed $$seed

# The Debian package, built in $(PACKAGE_BUILD) from a copy of
# packaging/debian (the tree itself is not written): only the shipped
# programs and plugins are compiled, with Debian's build flags; runtime
# dependencies come from dpkg-shlibdeps. The package lands in $(PACKAGE_BUILD)/.
PACKAGE_BUILD ?= build-package
package: setup
	rm -rf $(PACKAGE_BUILD)/src/debian $(PACKAGE_BUILD)/*.deb $(PACKAGE_BUILD)/*.changes $(PACKAGE_BUILD)/*.buildinfo
	mkdir -p $(PACKAGE_BUILD)/src
	cp -r packaging/debian $(PACKAGE_BUILD)/src/debian
	ln -sfn $(CURDIR) $(PACKAGE_BUILD)/src/tree
	cd $(PACKAGE_BUILD)/src && CCACHE_NOHASHDIR=1 dpkg-buildpackage -b -nc -us -uc
	@ls $(PACKAGE_BUILD)/*.deb

# CI's checks of the package on this machine (as root): installs it with apt
# over an existing registry store, runs the installed programs over the
# demo installation, lintian, the units, the manual pages, removal during a
# run, purge.
package-check: package build
	bash packaging/check.sh $(PACKAGE_BUILD) $(BUILD)
