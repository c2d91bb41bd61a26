"""The Python binding against simulated lenses."""

from __future__ import annotations

import ctypes
import re
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import kelvaro
from conftest import HANG, readme_block


def test_properties_reach_the_lens(sim):
    long_name = "Zoom 12.5-300 mm with a name long enough for a second reply"
    sim.command(f"state name {long_name}")
    sim.command("state focus 321")
    with kelvaro.Lens(sim.link) as lens:
        assert lens.name == long_name
        assert lens.focus == 321  # read from the lens, not remembered
        lens.iris, lens.zoom, lens.focus = 100, 2000, 4095
        assert (lens.iris, lens.zoom, lens.focus) == (100, 2000, 4095)
        assert sim.state()["zoom"] == "2000"
        assert lens.optics == pytest.approx(kelvaro.Optics(10.0, 200.0, 0.9, 2.0))
        assert [lens.switch(n) for n in (0, 2, 3, 4)] == [0x0E, 0xDF, 0xFF, 0xF8]
        lens.set_switch(3, 0xFE)
        assert lens.switch(3) == 0xFE and sim.state()["switch3"] == "fe"
        assert lens.magnifier is True
        lens.magnifier = False
        assert sim.state()["switch3"] == "ff" and lens.magnifier is False
        lens.set_auto_iris(True)
        assert (sim.state()["switch2"], sim.state()["switch4"]) == ("cf", "fc")
        assert kelvaro.Lens.switch_label(3, 0xFE) == "Mag x2 [fe]"
        lens.connect()
        assert lens.connected is False  # not watched


def test_watched_lens_reports_connected(sim):
    with kelvaro.Lens(sim.link, framing="timed", watch=True) as lens:
        deadline = time.monotonic() + HANG
        while not lens.connected:
            assert time.monotonic() < deadline, "the check never found the lens"
            time.sleep(0.05)
        assert lens.zoom == 2048


def test_two_lenses_from_two_threads(start_lens):
    sims = [start_lens("--name", "Lens A"), start_lens("--name", "Lens B")]

    def drive(index):
        with kelvaro.Lens(sims[index].link) as lens:
            seen = []
            for step in range(5):
                lens.zoom = 1000 * index + step
                seen.append((lens.name, lens.zoom))
            return seen

    with ThreadPoolExecutor(2) as pool:
        results = list(pool.map(drive, [0, 1]))
    assert results == [[("Lens A", step) for step in range(5)], [("Lens B", 1000 + step) for step in range(5)]]
    assert [s.state()["zoom"] for s in sims] == ["4", "1004"]


def test_failures_raise_lens_error(sim, tmp_path):
    sim.command("fault 31 silent 1")
    with kelvaro.Lens(sim.link) as lens:
        with pytest.raises(kelvaro.LensError) as timeout:
            lens.zoom
        assert (timeout.value.code, timeout.value.text) == (4, "Timeout")
        assert lens.zoom == 2048  # the fault was for one reply only
    with pytest.raises(kelvaro.LensError) as absent:
        kelvaro.Lens(str(tmp_path / "no-such-device"))
    assert absent.value.code == 7 and "Open" in absent.value.text
    # Reserved by the library for now: passed through, refused there.
    with pytest.raises(kelvaro.LensError) as reopen:
        kelvaro.Lens(sim.link, reopen=True)
    assert reopen.value.code == 101 and str(reopen.value) == "Invalid Argument (code 101)"
    with pytest.raises(ValueError, match="framing"):
        kelvaro.Lens(sim.link, framing="fast")


def test_closed_lens_refuses_everything(sim):
    lens = kelvaro.Lens(sim.link)
    lens.close()
    lens.close()
    uses = [lambda: lens.zoom, lambda: setattr(lens, "iris", 1), lambda: lens.name, lambda: lens.optics,
            lambda: lens.switch(0), lambda: lens.set_switch(0, 1), lambda: lens.connected, lens.connect,
            lens.__enter__]
    for use in uses:
        with pytest.raises(ValueError, match="lens is closed"):
            use()


def test_bad_arguments_send_nothing(sim):
    with kelvaro.Lens(sim.link) as lens:
        sim.command("clearframes")
        bad = [lambda: setattr(lens, "zoom", -1), lambda: setattr(lens, "focus", 4096),
               lambda: setattr(lens, "iris", 1.0), lambda: setattr(lens, "zoom", "7"),
               lambda: setattr(lens, "zoom", True), lambda: lens.switch(1), lambda: lens.switch(5),
               lambda: lens.set_switch(1, 0), lambda: lens.set_switch(0, 256), lambda: lens.set_switch(0, -1)]
        for call in bad:
            with pytest.raises(ValueError):
                call()
        assert sim.frames() == []
        lens.zoom = 2048
        assert sim.frames() == ["022180005d"]


def test_library_that_cannot_be_loaded_is_named(tmp_path, monkeypatch):
    missing = tmp_path / "missing" / "libKelvaro32.so"
    other_bits = tmp_path / "other-bits.so"  # an ELF header of the other word size
    other_bits.write_bytes(b"\x7fELF" + bytes([1 if ctypes.sizeof(ctypes.c_void_p) == 8 else 2]) + bytes(59))
    for path, why in [(missing, "no such file"), (other_bits, "-bit library, but this Python is")]:
        monkeypatch.setenv("KELVARO_LIBRARY", str(path))
        with pytest.raises(OSError, match=f"KELVARO_LIBRARY={re.escape(str(path))}: .*{why}"):
            kelvaro.load_library()
    # Unset: the package's folder, then the system, each named.
    monkeypatch.delenv("KELVARO_LIBRARY")
    monkeypatch.setattr(kelvaro._library, "__file__", str(tmp_path / "_library.py"))
    monkeypatch.setattr(kelvaro._library, "_try_name", lambda name: (None, "not on the system"))
    with pytest.raises(OSError) as nowhere:
        kelvaro.load_library()
    assert f"{tmp_path / kelvaro._library.FILE_NAME}: no such file" in str(nowhere.value)
    assert "(system): not on the system" in str(nowhere.value)


def test_flat_round_trip(sim, library_env):
    # The flat functions hold one lens per process: a process of their own.
    script = f"""
import ctypes
from kelvaro import flat
assert flat.InitializeLensControl() == 0
assert flat.OpenComPort({sim.link.encode()!r}) == 0
zoom = ctypes.c_ushort()
assert flat.GetLensZoom(ctypes.byref(zoom)) == 0, "GetLensZoom"
assert flat.SetLensZoom(2048) == 0
text = ctypes.create_string_buffer(b"zoom:", 64)
flat.GetResultString(0, text)
print(zoom.value, text.value.decode(), flat.CloseComPort(), flat.CloseComPort())
"""
    sim.command("state zoom 777")
    run = subprocess.run([sys.executable, "-c", script], env=library_env, capture_output=True, text=True,
                         timeout=HANG)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["777", "zoom:", "OK", "0", "10"]
    assert "022180005d" in sim.frames()


def test_readme_example_runs(sim, library_env):
    example = readme_block("### Python", "python")
    if example is None:
        pytest.skip('README.md has no ```python block under "### Python" yet')
    assert "/dev/ttyUSB0" in example
    run = subprocess.run([sys.executable, "-c", example.replace("/dev/ttyUSB0", sim.link)], env=library_env,
                         capture_output=True, text=True, timeout=HANG)
    assert run.returncode == 0, run.stderr
    assert "Simulated Zoom Lens 10-200" in run.stdout
    assert any(frame.startswith("0221") for frame in sim.frames()), "the example moved no zoom"


@pytest.mark.parametrize(
    "commands, status, changed",
    [
        ([], 0, {}),
        (["fault 31 silent"], 1, {"zoom": "zoom          failed: Timeout"}),
        (["fault 54 badsum"], 1, {"switch 4": "switch 4      failed: Bad Checksum"}),
        (["fault 01 silent"], 1, None),  # no handshake: nothing after the connect line
    ],
)
def test_status_entry_point(sim, library_env, commands, status, changed):
    """python -m kelvaro PORT: the lines of kelvaroctl status, a failed item shown in its line."""
    for command in commands:
        sim.command(command)
    run = subprocess.run([sys.executable, "-m", "kelvaro", sim.link], env=library_env, capture_output=True,
                         text=True, timeout=HANG)
    assert (run.returncode, run.stderr) == (status, "")
    lines = run.stdout.splitlines()
    assert lines[0] == f"port          {sim.link}"
    if changed is None:
        assert lines[1:] == ["connect       failed: Timeout"]
        return
    expected = {
        "connect": "OK", "name": "Simulated Zoom Lens 10-200", "focal length": "Focal Length  10.0 to  200.0 mm",
        "MOD": "MOD:  0.9 meters", "aperture": "Aperture: f/2.00", "iris": "2048", "zoom": "2048",
        "focus": "2048", "switch 0": "850nm  [e]", "switch 2": "Remote Iris [df]", "switch 3": "Mag x1 [ff]",
        "switch 4": "Mode 0 Host [f8]",
    }
    shown = [changed.get(label, label.ljust(14) + text) for label, text in expected.items()]
    assert lines[1:] == shown


def test_status_entry_point_bad_command_lines(library_env, tmp_path):
    missing = str(tmp_path / "no-such-port")
    run = subprocess.run([sys.executable, "-m", "kelvaro", missing], env=library_env, capture_output=True,
                         text=True, timeout=HANG)
    assert (run.returncode, run.stdout) == (1, "")
    assert run.stderr == f"python -m kelvaro: cannot open {missing}: Unable To Open Port (code 7)\n"
    for argv in ([], ["a", "b"]):
        run = subprocess.run([sys.executable, "-m", "kelvaro", *argv], env=library_env, capture_output=True,
                             text=True, timeout=HANG)
        assert run.returncode == 2
        assert "usage: python -m kelvaro" in run.stderr
