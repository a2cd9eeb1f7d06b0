# Thin wrapper over CMake: `make run` and `make test` are all a new machine needs.
#   make run            the tool on a demo image (FAMILY=, PHY= choose its kind)
#   make run IMAGE=f    the tool on the existing image f
#   make test           unit, transcript and example tests (compiler, CMake,
#                       GoogleTest, jq), warnings as errors, in $(BUILD)/werror
#   make check-package  manual pages and Debian package (groff, dpkg-dev, lintian)
#   make install, make package   need no GoogleTest
#   make bench          figures of a Release build, in $(BUILD)/release
BUILD ?= build
# Trees of their own, so that neither changes how $(BUILD) builds what
# `make install` and `make package` ship.
TEST_BUILD := $(BUILD)/werror
BENCH_BUILD := $(BUILD)/release
FAMILY ?=
PHY ?=
PREFIX ?= /usr/local
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# A word for the shell, in single quotes.
quote = '$(subst ','\'',$(1))'

# Without IMAGE, `make run` starts on a demo image under the build directory,
# made if it is missing. The demo image of a given family and PHY has a name
# of its own, so that `make run FAMILY=1` never reuses one of another kind.
# A path the user names is never created: it must be an existing file, which
# is checked before anything is built.
DEMO_FAMILY := $(or $(FAMILY),0)
DEMO_PHY := $(or $(PHY),$(if $(filter 1,$(DEMO_FAMILY)),copper,inner))
ifeq ($(origin IMAGE),undefined)
DEMO := $(if $(FAMILY)$(PHY),$(BUILD)/demo-$(DEMO_FAMILY)-$(DEMO_PHY).img,$(BUILD)/demo.img)
RUN_IMAGE := $(DEMO)
else
DEMO :=
RUN_IMAGE := $(IMAGE)
ifneq ($(filter run,$(MAKECMDGOALS)),)
ifeq ($(strip $(IMAGE)),)
$(error IMAGE is empty: name an existing image file, or leave IMAGE out to start on a demo image)
endif
ifneq ($(shell test -f $(call quote,$(IMAGE)) && echo found),found)
$(error IMAGE=$(IMAGE) is not an existing file. make run starts on an existing image and never creates one; leave IMAGE out to start on a demo image in $(BUILD)/)
endif
ifneq ($(FAMILY)$(PHY),)
$(warning FAMILY and PHY choose a demo image; they do nothing with IMAGE)
endif
endif
endif

.PHONY: all build run run-targets test check-package install package bench clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Only what `make run` needs: the tool and the image maker, no tests.
run-targets: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target norvask_oem_tool norvask_mkimage

ifneq ($(DEMO),)
$(DEMO): | run-targets
	$(BUILD)/norvask_mkimage --family $(call quote,$(DEMO_FAMILY)) --phy $(call quote,$(DEMO_PHY)) $(call quote,$@)
endif

run: run-targets $(DEMO)
	$(BUILD)/norvask_oem_tool -f $(call quote,$(RUN_IMAGE))

# Warnings are errors for the tests and CI, in the tests' own tree; a plain
# cmake build, and so `make install` and `make package`, leaves them warnings.
# A tree without a single test fails: no green run that tested nothing.
$(TEST_BUILD)/CMakeCache.txt:
	cmake -S . -B $(TEST_BUILD) -DNORVASK_WERROR=ON

test: $(TEST_BUILD)/CMakeCache.txt
	cmake --build $(TEST_BUILD) -j $(JOBS)
	cd $(TEST_BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS) -LE '^packaging$$'

# The manual pages format without a warning; the Debian package installs a
# working tool, passes lintian without errors, is hardened and comes out the
# same bytes from a second tree built without tests.
check-package: build
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -L '^packaging$$'

# The programs, manual pages and completion only, the programs stripped.
install: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target norvask_oem_tool norvask_mkimage norvask_gz_docs
	cmake --install $(BUILD) --strip --prefix $(PREFIX)

# Debian package of the tool, its image maker and manual pages, in $(BUILD).
package: build
	cd $(BUILD) && cpack -G DEB

# Tool against the floor programs, built as Release like the README's
# figures; prints figures, checks nothing.
bench:
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DNORVASK_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target norvask_bench_run

clean:
	rm -rf $(BUILD)
