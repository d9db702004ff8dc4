# make demo   install what is missing, build, and run dxqor in front of a
#             real Apache on a free loopback port with the authorization
#             server; both keep running (make demo-stop ends them).
#             WEB=nginx runs it in front of nginx instead; SCALE=2 runs
#             two Apache sites with users in a slapd and sessions in a
#             redis-server, and signs in on one and uses the other
# make demo-core  the library alone: a plug-in core answered by a scripted
#             authorization server
# make reliability  Apache with dxqor and the authorization server under
#             wrk load on loopback while the server is killed, stopped and
#             reloaded, Apache children are killed and oversized requests
#             arrive; the table goes into docs/reliability.md
# make bench-e2e  Apache and nginx, each alone and with dxqor, and nginx
#             with auth_request under wrk on loopback, into docs/performance.md
# make test   install what is missing, then compile the status-checking build
#             (check) and build and test the release,
#             ASan+UBSan and 32-bit configurations, and the plug-in core
#             under ThreadSanitizer (tsan)
# make bench  build and run the benchmarks
# make deb    build the Debian packages with dpkg-buildpackage into
#             build/deb (see README.md, "Install")
# make fuzz   build the fuzz targets with clang's libFuzzer and run each for
#             FUZZ_SECONDS (default 60) seconds
JOBS ?= $(shell nproc)
BUILD ?= build
WEB ?= apache

.PHONY: all deb demo demo-core demo-stop bench-e2e reliability deps test test-check test-release test-asan test-m32 test-tsan bench clean deps-fuzz fuzz

all: deps
	cmake -S . -B $(BUILD)/release -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)/release -j $(JOBS)

demo: deps
ifeq ($(SCALE),2)
	@BUILD=$(BUILD) JOBS=$(JOBS) bash scripts/demo-scale.sh
else
	@BUILD=$(BUILD) JOBS=$(JOBS) WEB=$(WEB) bash scripts/demo.sh
endif

demo-stop:
ifeq ($(SCALE),2)
	@BUILD=$(BUILD) bash scripts/demo-scale.sh stop
else
	@BUILD=$(BUILD) bash scripts/demo.sh stop
endif

bench-e2e: deps
	@BUILD=$(BUILD) JOBS=$(JOBS) bash scripts/bench-e2e.sh

reliability: deps
	@BUILD=$(BUILD) JOBS=$(JOBS) bash scripts/reliability.sh

demo-core: deps
	cmake -S . -B $(BUILD)/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG"
	cmake --build $(BUILD)/release -j $(JOBS) --target dxqor_demo
	@mkdir -p $(BUILD)/release/testtmp
	DXQOR_TEST_TMPDIR=$(CURDIR)/$(BUILD)/release/testtmp $(BUILD)/release/dxqor_demo

deps:
	@bash scripts/deps.sh

deb: deps
	@JOBS=$(JOBS) bash packaging/build-deb.sh $(BUILD)/deb

test: deps
	@bash scripts/test.sh

test-check test-release test-asan test-m32 test-tsan: deps
	@bash scripts/test.sh $(@:test-%=%)

bench:
	@bash scripts/deps.sh bench
	cmake -S . -B $(BUILD)/bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DDXQOR_TESTS=OFF -DDXQOR_BENCH=ON
	cmake --build $(BUILD)/bench -j $(JOBS)
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b || exit 1; done

deps-fuzz:
	@bash scripts/deps.sh fuzz

fuzz: deps-fuzz
	cmake -S . -B $(BUILD)/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_C_COMPILER=clang -DDXQOR_SANITIZE=ON -DDXQOR_FUZZ=ON \
	  -DDXQOR_TESTS=OFF
	cmake --build $(BUILD)/fuzz -j $(JOBS)
	@BUILD=$(BUILD) bash scripts/fuzz.sh

clean:
	rm -rf $(BUILD)
