# Thin front end over the CMake presets. See README.md.

.PHONY: all deps deps-demo build test test-native test-armhf test-tsan test-fuzz fuzz bench bench-instructions bench-http bench-metrics bench-site bench-modbus-server bench-mqtt bench-memory bench-history bench-fleet demo live package clean

all: build

# The bench host against the built-in simulated meter, paced like a real
# 9600-baud line: a few cycles with a short over-voltage episode, one
# register write, then a summary.
DEMO_ARGS ?= --cycles 5 --interval 1 --emulate-line --write 256=4660 \
    --sim-arg=--overvoltage-at=3 --sim-arg=--overvoltage-cycles=2
demo: deps-demo
	cmake --preset demo
	cmake --build --preset demo --target qmxhost
	build/demo/bin/qmxhost $(DEMO_ARGS)

# The live page and HTTP API against the simulated meter, on a line paced
# at 9600 baud, until Ctrl-C.
LIVE_ARGS ?= --http 127.0.0.1:8080 --allow-writes --emulate-line --quiet \
    --sim-arg=--overvoltage-at=60 --sim-arg=--overvoltage-cycles=20
live: deps-demo
	cmake --preset demo
	cmake --build --preset demo --target qmxhost
	build/demo/bin/qmxhost $(LIVE_ARGS)

# Everything the build, the tests and the benchmarks need.
deps:
	@sh cmake/deps.sh all

# Only what make demo and make live need.
deps-demo:
	@sh cmake/deps.sh demo

build: deps
	cmake --preset asan
	cmake --build --preset asan

test-native: build
	ctest --preset asan

test-armhf: deps
	cmake --preset armhf
	cmake --build --preset armhf
	ctest --preset armhf

# Only the thread tests, the runs of several lines and the whole site: the
# rest of the suite gains nothing from TSan.
test-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan --target thread_tests app_tests site_tests forward_tests
	ctest --preset tsan

# Replays each committed fuzz corpus, then fuzzes each target briefly.
test-fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz
	ctest --preset fuzz

test: deps
	$(MAKE) test-native
	$(MAKE) test-armhf
	$(MAKE) test-tsan
	$(MAKE) test-fuzz

# Longer fuzzing; what the fuzzers find is merged into fuzz/corpus/.
FUZZ_SECONDS ?= 180
FUZZ_JOBS ?= 2
fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz
	sh fuzz/run.sh $(FUZZ_SECONDS) $(FUZZ_JOBS)

# Google Benchmark wall-clock figures (native release build).
bench: deps
	cmake --preset release
	cmake --build --preset release --target plugin_benchmarks
	build/release/bench/plugin_benchmarks --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

# Instructions per operation under callgrind: the figures in docs/performance.md.
bench-instructions: deps
	cmake --preset release
	cmake --build --preset release --target instruction_counts host_cycles
	sh bench/instructions.sh build/release/bench/instruction_counts build/release/bench/host_cycles

# The live view's HTTP API under wrk while polling at 9600 baud, then every
# hostile load at once against those who must still be served: figures in
# docs/performance.md.
HOSTILE_SECONDS ?= 60
bench-http: deps
	cmake --preset demo
	cmake --build --preset demo --target qmxhost
	sh bench/http_load.sh build/demo/bin/qmxhost
	SECURE=1 sh bench/http_load.sh build/demo/bin/qmxhost
	cmake --preset release
	cmake --build --preset release --target history_fill
	python3 bench/http_hostile.py build/demo/bin/qmxhost build/release/bench/history_fill $(HOSTILE_SECONDS)

# MQTT publication's cost to polling and its delay to a subscriber: figures in docs/performance.md.
bench-mqtt: deps
	cmake --preset demo
	cmake --build --preset demo --target qmxhost
	/usr/bin/python3 bench/mqtt_latency.py build/demo/bin/qmxhost

# The history over 400 simulated days: size, queries, fsyncs; figures in docs/performance.md.
bench-metrics: deps
	cmake --preset demo
	cmake --build --preset demo --target qmxhost
	sh bench/metrics_scrape.sh build/demo/bin/qmxhost

# 4 lines of 8 meters at 9600 baud at once: quiet, the overview's API under
# wrk, a slow disk under the history, a standard output nobody reads; then
# 16 lines of 8 with every outlet on, and the threads of 1, 8 and 32 meters.
# SITE_RUNS picks some, e.g.
# make bench-site SITE_RUNS="slowdisk blocked" SITE_SECONDS=30.
SITE_SECONDS ?= 60
SITE_RUNS ?= quiet load slowdisk blocked dead big threads
bench-site: deps
	cmake --preset demo
	cmake --build --preset demo --target qmxhost qv5810-sim qv5810
	cmake --preset release
	cmake --build --preset release --target modbus_read_load
	MODBUS_READ_LOAD=build/release/bench/modbus_read_load sh bench/site.sh build/demo/bin/qmxhost $(SITE_SECONDS) $(SITE_RUNS)

# The Modbus server under 10 clients reading 1,000 times a second: figures in docs/performance.md.
bench-modbus-server: deps
	cmake --preset demo
	cmake --build --preset demo --target qmxhost
	cmake --preset release
	cmake --build --preset release --target modbus_read_load
	sh bench/modbus_server_load.sh build/demo/bin/qmxhost build/release/bench/modbus_read_load

# Then the energy answers of 32 meters' year, from the bench host's API.
bench-history: deps
	cmake --preset release
	cmake --build --preset release --target history_fill qmxhost
	sh bench/history.sh build/release/bench/history_fill 400
	python3 bench/energy.py build/release/bin/qmxhost build/release/bench/history_fill

# The history forwarded to a local PostgreSQL: a day's outage of 32 meters
# caught up while a 4-line site polls beside it, the central bytes per
# meter-day, and the lag of a record in steady state; figures in docs/performance.md.
FLEET_SECONDS ?= 120
bench-fleet: deps
	cmake --preset demo
	cmake --build --preset demo --target qmxhost qv5810-sim qv5810
	cmake --preset release
	cmake --build --preset release --target history_fill
	sh bench/fleet.sh build/demo/bin/qmxhost build/release/bench/history_fill $(FLEET_SECONDS)

# The bench host's resident memory over 200,000 unpaced cycles: figures in docs/performance.md.
bench-memory: deps-demo
	cmake --preset demo
	cmake --build --preset demo --target qmxhost
	sh bench/memory.sh build/demo/bin/qmxhost 200000

# Stripped armhf release plug-in with example configuration and install note;
# Debian packages of the bench host and simulator for armhf, arm64 and amd64.
package: deps
	cmake --preset armhf-release
	cmake --build --preset armhf-release
	cd build/armhf-release && cpack -C Release -G "TGZ;DEB"
	cmake --preset arm64-release
	cmake --build --preset arm64-release
	cd build/arm64-release && cpack -C Release -G DEB
	cmake --preset amd64-release
	cmake --build --preset amd64-release
	cd build/amd64-release && cpack -C Release -G DEB
	@ls -l build/armhf-release/qv5810-*.tar.gz build/armhf-release/*.deb build/arm64-release/*.deb build/amd64-release/*.deb

clean:
	rm -rf build
