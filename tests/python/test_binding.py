"""The binding's behaviour that a Python program relies on, against the simulated meters."""
import datetime
import os
import signal
import threading
import time

import pytest

import qm4720


def test_readings_carry_the_registers_type_and_a_utc_time(simulator):
    with qm4720.Driver(simulator.port, line="9600,8N1,300") as meter:
        before = datetime.datetime.now(datetime.timezone.utc)
        readings = meter.read_many(1, ["PV", "SP", "PN"]) + [meter.read(2, "PN")]
        after = datetime.datetime.now(datetime.timezone.utc)
    cases = [("PV", float, 12.5), ("SP", float, 25.5), ("PN", int, 3), ("PN", int, None)]
    for reading, (register, kind, value) in zip(readings, cases):
        assert reading.register == register
        assert type(reading.value) is kind, register
        assert value is None or reading.value == value, register
        assert reading.type == ("FLOAT" if kind is float else "INT")
        assert reading.quality == 192
        assert reading.time.tzinfo is not None and reading.time.utcoffset() == datetime.timedelta(0)
        assert before - datetime.timedelta(seconds=1) <= reading.time <= after
        assert 0 < reading.latency_ms < 1000


def test_failures_raise_driver_error_with_code_and_message(simulator):
    port = simulator.port
    with qm4720.Driver(port, timeout_ms=100) as meter:
        cases = [
            (lambda: meter.read(5, "PV"), qm4720.ERROR_TIMEOUT, "超时"),
            (lambda: meter.read(1, "XX"), qm4720.ERROR_REGISTER_NAME, "XX"),
            (lambda: meter.check_station("abc"), qm4720.ERROR_STATION, "abc"),
            (lambda: meter.parse_register("PN", types=["FLOAT"]), qm4720.ERROR_DATA_TYPE, "INT"),
            # Bytes that are not UTF-8 come back escaped in the message, not as a decode error.
            (lambda: meter.read(1, b"\xffV"), qm4720.ERROR_REGISTER_NAME, "\\xffV"),
        ]
        check_driver_errors(cases)
        # The driver's own reading of good texts, after its refusals.
        assert meter.check_station("07") == 7
        assert meter.parse_register("SP").index == 13
    # Opened while the port is free. The reason of an open failure is the system's, in English.
    with pytest.raises(qm4720.DriverError) as raised:
        qm4720.Driver("/dev/qm4720-no-such-port")
    assert raised.value.code == qm4720.ERROR_OPEN
    assert "打开串口错误" in raised.value.message
    assert "no such device" in raised.value.reason and "no such device" in str(raised.value)
    check_driver_errors([
        (lambda: qm4720.Driver(port, baud=19200), qm4720.ERROR_BAUD_RANGE, "19200"),
        (lambda: qm4720.Driver(port, module="/nonexistent/qm4720.so"), qm4720.ERROR_MODULE,
         "/nonexistent/qm4720.so"),
    ])


def check_driver_errors(cases):
    for index, (call, code, text) in enumerate(cases):
        with pytest.raises(qm4720.DriverError) as raised:
            call()
        error = raised.value
        assert isinstance(error, Exception)
        assert error.code == code, f"case {index}: {error.message}"
        assert error.message and text in error.message, f"case {index}: {error.message}"
        assert error.message in str(error)


@pytest.mark.simulator_args("--script", "nak")
def test_a_refused_write_raises_driver_error(simulator):
    with qm4720.Driver(simulator.port, timeout_ms=300) as meter:
        with pytest.raises(qm4720.DriverError) as raised:
            meter.write(1, "SP", 30)
        assert raised.value.code == qm4720.ERROR_REFUSED
        assert meter.read(1, "SP").value == 25.5


def test_faults_of_the_call_raise_value_error(simulator):
    port = simulator.port
    with qm4720.Driver(port, timeout_ms=100) as meter:
        cases = [
            (lambda: meter.write(1, "PV", 3.0), "read-only"),
            (lambda: meter.write(1, "PN", 1.5), ""),  # INT takes whole numbers
            (lambda: meter.write(1, "PN", 40000), ""),
            (lambda: meter.write(1, "SP", 10000.0), ""),  # beyond the meter's six characters
            (lambda: meter.write(1, "SP", float("nan")), ""),
            (lambda: meter.read(100, "PV"), "100"),
            # The module reads C strings: the text after a NUL would be dropped unseen.
            (lambda: meter.read(1, "PV\x00junk"), "NUL"),
            (lambda: meter.check_station("7\x00"), "NUL"),
            (lambda: meter.probe(range(0, 10, 2)), "step of 1"),
            (lambda: meter.probe(range(95, 101)), "beyond station 99"),
            (lambda: meter.probe(range(0, 2**40)), "beyond station 99"),
            (lambda: meter.probe(range(-2**40, 3)), "below station 0"),
            (lambda: meter.probe(range(5, 5)), "no station"),
            (lambda: meter.probe([1, 2]), "a range of stations"),
            (lambda: meter.parse_register("SP", types=["DOUBLE"]), "DOUBLE"),
        ]
        for index, (call, text) in enumerate(cases):
            with pytest.raises(ValueError) as raised:
                call()
                pytest.fail(f"case {index} raised nothing")
            assert text in str(raised.value), f"case {index}: {raised.value}"
    for options, text in [({"parity": "bogus"}, "'bogus'"), ({"timeout_ms": 5}, "timeout 5 ms"),
                          ({"stop_bits": 3}, "stop bits 3"), ({"model": "QM\x00"}, "NUL"),
                          ({"line": "9600,8X1"}, "'8X1'"), ({"line": "96OO"}, "'96OO'"),
                          ({"line": "9600,8N1", "timeout_ms": 5}, "timeout 5 ms")]:
        with pytest.raises(ValueError, match=text):
            qm4720.Driver(port, **options)
    with pytest.raises(ValueError):
        meter.read(1, "PV")  # closed


def test_the_context_manager_closes_the_port_when_the_block_raises(simulator):
    with pytest.raises(RuntimeError):
        with qm4720.Driver(simulator.port, timeout_ms=300) as meter:
            assert meter.read(1, "PV").value == 12.5
            # The port is the first Driver's alone while it is open.
            with pytest.raises(qm4720.DriverError) as raised:
                qm4720.Driver(simulator.port)
            assert raised.value.code == qm4720.ERROR_OPEN
            assert "busy" in raised.value.reason
            raise RuntimeError("the block fails")
    assert not meter.is_open
    with qm4720.Driver(simulator.port, timeout_ms=300) as again:
        assert again.read(1, "PV").value == 12.5


def test_other_threads_run_while_a_read_waits(simulator):
    ticks = 0
    done = threading.Event()

    def tick():
        nonlocal ticks
        while not done.is_set():
            ticks += 1
            time.sleep(0.001)

    with qm4720.Driver(simulator.port, timeout_ms=1000) as meter:
        ticker = threading.Thread(target=tick)
        ticker.start()
        try:
            start = ticks
            began = time.monotonic()
            with pytest.raises(qm4720.DriverError):
                meter.read(9, "PV")  # no such station: the whole timeout passes
            waited = time.monotonic() - began
            during = ticks - start
        finally:
            done.set()
            ticker.join()
    assert waited >= 0.9
    # Held, the GIL would have stopped the ticker for the whole second (one tick at most); a
    # loaded machine still gives it dozens.
    assert during >= 20, f"{during} ticks in {waited:.2f} s"


@pytest.mark.parametrize("register, value, sent, verify", [
    ("SP", 55.5, 55.5, True),
    ("SP", 12.34567, 12.346, True),  # rounded to the meter's six characters
    ("SP", -12.345, -12.35, False),
    ("PN", 7, 7, True),
    ("PN", 8, 8, False),
])
def test_a_write_reaches_the_meter_and_is_good(simulator, register, value, sent, verify):
    with qm4720.Driver(simulator.port, timeout_ms=300) as meter:
        written = meter.write(1, register, value, verify=verify)
        assert written.value == sent
        assert type(written.value) is type(sent)
        assert written.quality == 192
    # Read again through a new Driver: the value is the meter's now.
    with qm4720.Driver(simulator.port, timeout_ms=300) as other:
        assert other.read(1, register).value == sent


def test_probe_reports_each_station_and_stops_when_asked(simulator):
    with qm4720.Driver(simulator.port, timeout_ms=50) as meter:
        seen = []
        assert meter.probe(range(0, 4), lambda s, answered: seen.append((s, answered))) == [1, 2]
        assert seen == [(0, False), (1, True), (2, True), (3, False)]
        assert meter.probe(range(1, 4), lambda s, answered: False) == [1]

        def fails(station, answered):
            raise KeyError(station)

        with pytest.raises(KeyError):
            meter.probe(range(1, 3), fails)


def test_tables_of_both_models(simulator):
    with qm4720.Driver(simulator.port, model="QM4720N") as meter:
        default, n = meter.tables(""), meter.tables()
    assert (len(default), len(n)) == (62, 58)
    for table, index, mnemonic in [(default, 12, "AS"), (n, 12, "NP")]:
        assert (table[index].mnemonic, table[index].index) == (mnemonic, index)
    for table in (default, n):
        pv, sp = table[4], table[13]
        assert (pv.mnemonic, pv.type, pv.read_only) == ("PV", "FLOAT", True)
        assert (sp.mnemonic, sp.type, sp.read_only) == ("SP", "FLOAT", False)


def interrupt_soon():
    """Ctrl-C as a terminal sends it, to this process, in 0.2 s."""
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    return timer


def test_ctrl_c_interrupts_a_read_and_a_probe_of_a_silent_station(simulator):
    with qm4720.Driver(simulator.port, timeout_ms=5000) as meter:
        calls = [lambda: meter.read(9, "PV"), lambda: meter.probe(range(5, 10))]
        for index, call in enumerate(calls):
            began = time.monotonic()
            timer = interrupt_soon()
            with pytest.raises(KeyboardInterrupt):
                call()
            timer.join()
            # Seen while the exchange still waits for its 5 s timeout, not after it.
            assert time.monotonic() - began < 2.5, f"call {index}"
        # The interrupted exchange finishes on its own; the Driver stays usable.
        assert meter.read(1, "PV").value == 12.5


def test_a_forked_child_is_refused_the_parents_driver(simulator):
    with qm4720.Driver(simulator.port, timeout_ms=2000) as meter:
        reader = threading.Thread(target=lambda: pytest.raises(qm4720.DriverError,
                                                               meter.read, 9, "PV"))
        reader.start()
        time.sleep(0.3)  # the read holds the Driver's lock now
        child = os.fork()
        if child == 0:
            try:
                meter.read(1, "PV")
                os._exit(4)
            except ValueError as error:
                os._exit(0 if "os.fork()" in str(error) and not meter.is_open else 2)
            except BaseException:
                os._exit(3)
        deadline = time.monotonic() + 10
        while (done := os.waitpid(child, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
            time.sleep(0.05)
        if done[0] == 0:
            os.kill(child, signal.SIGKILL)
            os.waitpid(child, 0)
            pytest.fail("the child's call on the inherited Driver hung")
        reader.join()
        assert os.waitstatus_to_exitcode(done[1]) == 0
        assert meter.read(1, "PV").value == 12.5
