# The two commands of the README: `make demo` and `make test`.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: setup configure build test demo test-sanitize clean

setup:
	bash scripts/setup.sh

configure: setup
	@if [ ! -f $(BUILD)/build.ninja ]; then cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS); fi

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

demo: build
	bash scripts/demo.sh $(BUILD)

test-sanitize:
	$(MAKE) test BUILD=build-sanitize CMAKE_FLAGS=-DHALVEX_SANITIZE=ON

clean:
	rm -rf $(BUILD)
