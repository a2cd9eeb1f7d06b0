# Thin wrapper over CMake: `make run` and `make test` are all a new machine needs.
BUILD ?= build
FAMILY ?=
PHY ?=
# The demo image of a given family and PHY has a name of its own, so that
# `make run FAMILY=1` never reuses the demo image of another kind.
DEMO_FAMILY := $(or $(FAMILY),0)
DEMO_PHY := $(or $(PHY),$(if $(filter 1,$(DEMO_FAMILY)),copper,inner))
IMAGE ?= $(if $(FAMILY)$(PHY),$(BUILD)/demo-$(DEMO_FAMILY)-$(DEMO_PHY).img,$(BUILD)/demo.img)
PREFIX ?= /usr/local
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build run test install package bench clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

$(IMAGE): | build
	$(BUILD)/norvask_mkimage --family $(DEMO_FAMILY) --phy $(DEMO_PHY) $(IMAGE)

run: build $(IMAGE)
	$(BUILD)/norvask_oem_tool -f $(IMAGE)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# Debian package of the tool, its image maker and manual pages, in $(BUILD).
package: build
	cd $(BUILD) && cpack -G DEB

# Tool against the floor program; prints figures, checks nothing.
bench: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target norvask_bench_run

clean:
	rm -rf $(BUILD)
