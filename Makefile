# Two entry points for newcomers: `make run` (the program on the bundled photograph, built alone) and
# `make test` (every test, also under AddressSanitizer and UBSan). Both install what is missing.

PACKAGES := cmake g++ make pkg-config libopencv-dev libjpeg-dev libraw-dev libheif-dev libde265-dev libexiv2-dev libdeflate-dev libtiff-dev \
            nlohmann-json3-dev libcli11-dev \
            libgtest-dev libbenchmark-dev libx11-dev xvfb xauth xdotool openbox libraw-bin libheif-examples \
            libimage-exiftool-perl libpng-tools chromium clang-format strace bsdutils \
            pybind11-dev python3-dev python3-numpy python3-opencv python3-pytest python3-pandas python3-dask \
            python3-distributed man-db dpkg-dev file python3-venv python3-pip python3-setuptools python3-wheel
# What the culling benchmark (make bench-culling) needs besides PACKAGES: the photographs it reads
# where these packages install them, and Python's NumPy and OpenCV.
BENCH_PACKAGES := python3-numpy python3-opencv python3-skimage mate-backgrounds plasma-workspace-wallpapers \
                  lomiri-wallpapers-16.04 lomiri-wallpapers-20.04
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
JOBS := $(shell nproc)
# ON makes every compiler warning an error (continuous integration sets it).
WERROR ?= OFF
CMAKE_OPTIONS := -DDOFMAP_WERROR=$(WERROR)
# The sources that clang-format keeps in shape.
FORMATTED := $(shell git ls-files --cached --others --exclude-standard 'src/*.cpp' 'src/*.hpp' 'tests/*.cpp' 'tests/*.hpp' 'bench/*.cpp' 'bench/*.hpp' \
                                  'reference/*.hpp' 'python/*.cpp' 2>/dev/null)

.PHONY: all deps bench-deps build core-only package test-package run test test-release test-sanitized bench bench-culling format \
        format-check clean

all: build

# Where libheif's codecs are packages of their own (Ubuntu 24.04, Debian 13), its HEVC and AV1
# decoders and encoders; installed when the distribution has them.
HEIF_PLUGINS := libheif-plugin-libde265 libheif-plugin-x265 libheif-plugin-dav1d libheif-plugin-aomenc

# Installs the Debian packages that are not installed yet (updating the package lists first). One
# dpkg-query tells what is installed; apt is asked nothing while every package of PACKAGES is, and
# every plugin that the installed libheif names in its relations (Debian 12's names none), so a
# run with nothing to do takes a fraction of a second.
deps:
	@installed=" $$(dpkg-query -W -f='$${db:Status-Abbrev} $${Package}\n' $(PACKAGES) $(HEIF_PLUGINS) 2>/dev/null | \
		sed -n 's/^.i. *\([^ :]*\).*/\1/p' | tr '\n' ' ')"; \
	absent() { for p; do case "$$installed" in *" $$p "*) ;; *) echo $$p;; esac; done; }; \
	relations=$$(dpkg-query -W -f='$${Depends}, $${Recommends}, $${Suggests}' libheif1 2>/dev/null); \
	missing=$$(absent $(PACKAGES)); \
	plugins=$$(for p in $$(absent $(HEIF_PLUGINS)); do echo "$$relations" | grep -qw -- $$p && echo $$p; done); \
	if [ -n "$$missing$$plugins" ]; then \
		$(SUDO) apt-get update -qq && \
		plugins=$$(for p in $$(absent $(HEIF_PLUGINS)); do apt-cache show $$p >/dev/null 2>&1 && echo $$p; done; true) && \
		echo "Installing:" $$missing $$plugins && \
		DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing $$plugins; \
	fi

# Installs the culling benchmark's packages that are not installed yet.
bench-deps:
	@installed() { dpkg-query -W -f='$${Status}' $$1 2>/dev/null | grep -q 'ok installed'; }; \
	missing=$$(for p in $(BENCH_PACKAGES); do installed $$p || echo $$p; done); \
	if [ -n "$$missing" ]; then \
		$(SUDO) apt-get update -qq && echo "Installing:" $$missing && \
		DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_OPTIONS)
	cmake --build build -j $(JOBS)

# The computation alone, as a project that wants only the map builds it: configured from an empty
# folder with every other component off, so that it looks up OpenCV and nothing else, installed
# into a prefix of its own, and a program outside the project built on that install by CMake (which
# must not find dofmap::io there) and by pkg-config.
core-only:
	rm -rf build-core
	cmake -S . -B build-core -DCMAKE_BUILD_TYPE=Release -DDOFMAP_IO=OFF -DDOFMAP_PROGRAMS=OFF -DDOFMAP_PYTHON=OFF \
		-DBUILD_TESTING=OFF $(CMAKE_OPTIONS)
	@looked_up=$$(sed -nE 's/^(FIND_PACKAGE_MESSAGE_DETAILS_|__pkg_config_checked_)([A-Za-z0-9_]+):.*/\2/p; s/^([A-Za-z0-9_]+)_DIR:PATH=.*/\1/p' \
		build-core/CMakeCache.txt | grep -vE '^(OpenCV|Threads|CMAKE_.*|dofmap_.*|DOFMAP_.*|.*_INCLUDE)$$' | sort -u); \
	if [ -n "$$looked_up" ]; then echo "The core-only configuration looked up more than OpenCV:" $$looked_up; exit 1; fi
	cmake --build build-core -j $(JOBS)
	cmake --install build-core --prefix $(CURDIR)/build-core/prefix
	cmake -S tests/consumer-core -B build-core/consumer -DCMAKE_PREFIX_PATH=$(CURDIR)/build-core/prefix
	cmake --build build-core/consumer
	build-core/consumer/dofmap_core_consumer
	g++ -std=c++17 -O2 tests/consumer-core/consumer_core.cpp -o build-core/consumer/by_pkg_config \
		$$(PKG_CONFIG_PATH=$(CURDIR)/build-core/prefix/lib/pkgconfig pkg-config --static --cflags --libs dofmap)
	build-core/consumer/by_pkg_config

# The Debian package build-package/dofmap_VERSION_ARCH.deb (CPack): the programs, libraries, headers,
# CMake and pkg-config files, man pages, completion and the Python module, installed to /usr.
package:
	cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF \
		-DDOFMAP_BENCHMARKS=OFF $(CMAKE_OPTIONS)
	cmake --build build-package -j $(JOBS)
	rm -f build-package/dofmap_*.deb
	cd build-package && cpack -G DEB

# Installs the package on this machine with apt-get, uses what it installed and removes it again,
# then installs the module into a virtual environment with pip (tests/package/; for a throwaway
# machine, such as continuous integration's).
test-package: package
	SUDO="$(SUDO)" DOFMAP_SOURCE_DIR=$(CURDIR) DOFMAP_PACKAGE_DIR=$(CURDIR)/build-package PYTHONDONTWRITEBYTECODE=1 \
		/usr/bin/python3 -m pytest -v -p no:cacheprovider tests/package

# Builds the interactive program alone (the tests, benchmarks and Python module wait for `make
# build`), then runs it on the bundled photograph.
run: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_OPTIONS)
	cmake --build build -j $(JOBS) --target dofmap
	@echo "dofmap shows three windows: press a key in one of them to end it."
	cd demo && ../build/dofmap

test: deps
	$(MAKE) test-release test-sanitized

test-release: build
	cd build && ctest --output-on-failure -j $(JOBS)

test-sanitized:
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOFMAP_SANITIZE=ON -DDOFMAP_END_TO_END=OFF \
		$(CMAKE_OPTIONS)
	cmake --build build-sanitize -j $(JOBS) --target unit_tests
	cd build-sanitize && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan-suppressions.txt:print_suppressions=0 ctest --output-on-failure -j $(JOBS)

# Benchmarks: speed of the map and of whole runs, then peak memory at 24 megapixels.
bench: build
	./build/bench/focus_map_bench --benchmark_counters_tabular=true --benchmark_min_time=2
	./build/bench/peak_memory make-large demo/img/what-is-depth-of-field-1000x605.jpg build/bench/large-24mp.jpg
	mkdir -p build/bench/out
	./build/bench/peak_memory baseline build/bench/large-24mp.jpg build/bench/out
	./build/bench/peak_memory run build/bench/large-24mp.jpg build/bench/out

# Culling rules scored on ground truth made from real photographs (README, "A culling benchmark"):
# the shoots are generated once into build/bench-culling/, the tables printed and written to
# build/bench-culling/results.md, every photo's figures to build/bench-culling/photos.csv.
bench-culling: deps bench-deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_OPTIONS)
	cmake --build build -j $(JOBS) --target dofmap-batch
	/usr/bin/python3 bench/culling/score.py --batch build/dofmap-batch --cache build/bench-culling --jobs $(JOBS)

format:
	clang-format -i $(FORMATTED)

# Fails, naming the files, when a source is not formatted as .clang-format says.
format-check:
	clang-format --dry-run --Werror $(FORMATTED)

clean:
	rm -rf build build-sanitize build-core build-package build-python
