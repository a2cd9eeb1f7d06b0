# Thin wrapper over CMake: `make run` and `make test` are all a new machine needs.
BUILD ?= build
IMAGE ?= $(BUILD)/demo.img
FAMILY ?=
PHY ?=
PREFIX ?= /usr/local
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build run test install clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

$(IMAGE): | build
	$(BUILD)/norvask_mkimage $(if $(FAMILY),--family $(FAMILY)) $(if $(PHY),--phy $(PHY)) \
	  $(if $(or $(FAMILY),$(PHY)),,--family 0 --phy inner) $(IMAGE)

run: build $(IMAGE)
	$(BUILD)/norvask_oem_tool -f $(IMAGE)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD)
