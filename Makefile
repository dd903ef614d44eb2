# Front door: `make demo` and `make test` install what is missing, build, and run.
BUILD ?= build
JOBS ?= 2
# A CPython 3.7 interpreter to build for; found automatically when not given.
PYTHON ?=
CMAKE_ARGS ?=
# Seconds each fuzz target runs in `make fuzz`.
FUZZ_SECONDS ?= 60

PYTHON37 = "$$(cat $(BUILD)/python-interpreter)"

.PHONY: all deps configure build demo test test-sanitize fuzz bench install clean

all: build

deps:
	@tools/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) $(if $(PYTHON),-DPython_EXECUTABLE=$(PYTHON)) $(CMAKE_ARGS) > $(BUILD).configure.log \
		|| { cat $(BUILD).configure.log; exit 1; }

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The containers first, then each further walk-through that exists; the distributed one as a
# job of two processes, where quelt.distributed was built.
EXAMPLES = examples/demo.py $(filter-out examples/demo.py examples/distributed.py,$(sort $(wildcard examples/*.py)))
MPIRUN = OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OPENBLAS_NUM_THREADS=1 \
	mpirun --oversubscribe --allow-run-as-root

demo: build
	@for example in $(EXAMPLES); do \
		echo "### $$example"; PYTHONPATH=$(BUILD) $(PYTHON37) $$example || exit 1; done
	@if ls $(BUILD)/quelt/_distributed.* > /dev/null 2>&1; then \
		echo "### examples/distributed.py (mpirun -n 2)"; \
		PYTHONPATH=$(BUILD) $(MPIRUN) -n 2 $(PYTHON37) -m quelt.distributed examples/distributed.py; fi

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole suite again on a build with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	tools/test-sanitize.sh

# Each fuzz target for FUZZ_SECONDS (60) on a clang build in build-fuzz/, growing its working
# corpus there; tools/fuzz.sh tells how to fold findings into the committed seed corpora.
fuzz:
	@tools/install-deps.sh --fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) tools/fuzz.sh

# Benchmarks against the BLAS floor, a single-overload binding and the peers; writes docs/.
bench: deps
	benchmarks/run.sh

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD).configure.log
