"""The simulated meters the binding's tests talk to: qm4720sim on a new pseudo-terminal, started
for each test and stopped by its process id."""
import os
import subprocess

import pytest

# Two stations, one of each model, with still values the tests can expect.
SIMULATOR_ARGS = ["--station", "1", "--station", "2:QM4720N", "--frozen",
                  "--set", "1:PV=12.5", "--set", "1:SP=25.5", "--set", "1:PN=3"]


class Simulator:
    def __init__(self, extra):
        self.process = subprocess.Popen([os.environ["QM4720SIM"], *SIMULATOR_ARGS, *extra],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True)
        self.port = None
        for line in self.process.stdout:
            if line.startswith("PORT="):
                self.port = line.strip()[len("PORT="):]
            if line.strip() == "READY":
                break
        assert self.port, "the simulator did not start"

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


@pytest.fixture
def simulator(request):
    """The simulator; a test marked @pytest.mark.simulator_args(...) adds arguments."""
    marker = request.node.get_closest_marker("simulator_args")
    sim = Simulator(list(marker.args) if marker else [])
    yield sim
    sim.stop()


def pytest_configure(config):
    config.addinivalue_line("markers", "simulator_args(*args): more arguments for qm4720sim")
