"""Streams, timed moves, jogs and counters of the Python binding against simulated lenses."""

from __future__ import annotations

import time

import pytest

import kelvaro
from conftest import HANG

IRIS, ZOOM, FOCUS = 1, 2, 4  # fresh bits


def wait_until(condition, what):
    deadline = time.monotonic() + HANG
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.02)


def test_stream_samples_follow_the_lens(sim):
    sim.command("state zoom 1234")
    with kelvaro.Lens(sim.link) as lens:
        started = kelvaro.clock()
        with lens.stream(axes=("zoom", "focus"), rate=100) as stream:
            samples = []
            for sample in stream:
                samples.append(sample)
                if len(samples) == 5:
                    sim.command("state focus 99")
                if sample.focus == 99 or len(samples) > 500:
                    break
        assert [s.sequence for s in samples] == list(range(1, len(samples) + 1))
        assert samples[-1].focus == 99, "the stream never saw the focus change"
        first = samples[0]
        assert (first.fresh, first.iris, first.zoom) == (ZOOM | FOCUS, 0, 1234)  # iris is not streamed
        assert started <= first.time <= samples[-1].time <= kelvaro.clock()
        # Leaving the context stopped it: nothing more is read.
        time.sleep(0.05)
        sim.command("clearframes")
        time.sleep(0.1)
        assert sim.frames() == []

        # Iterating starts a stream of all three axes; a round whose reads fail has fresh 0.
        stream = lens.stream()
        sample = next(iter(stream))
        assert (sample.sequence, sample.fresh, sample.iris, sample.zoom) == (1, IRIS | ZOOM | FOCUS, 2048, 1234)
        sim.command("line silent 1")
        wait_until(lambda: next(stream).fresh == 0, "no round failed on a silent line")
        stream.stop()
        with pytest.raises(StopIteration):
            next(stream)
    with pytest.raises(ValueError, match="lens is closed"):
        iter(stream)


def test_move_together_arrives_on_its_targets(sim):
    with kelvaro.Lens(sim.link) as lens:
        lens.move_together(zoom=1000, focus=3000, seconds=0.3, easing="linear")
        wait_until(lambda: not lens.moving, "the timed move never ended")
        assert (sim.state()["iris"], sim.state()["zoom"], sim.state()["focus"]) == ("2048", "1000", "3000")
        lens.move_together(iris=5)  # no time: one move, sent before the call returns
        assert not lens.moving and sim.state()["iris"] == "5"
        lens.move_together(iris=4000, seconds=60)
        assert lens.moving
        lens.stop()
        assert not lens.moving and int(sim.state()["iris"]) < 4000


def test_jog_stops_with_its_deadman_and_stop_holds_the_lens(sim):
    with kelvaro.Lens(sim.link) as lens:
        lens.jog("zoom", -0.5, deadman=0.2)
        wait_until(lambda: not lens.moving, "the deadman never ended the jog")
        stopped_at = int(sim.state()["zoom"])
        assert stopped_at < 2048
        time.sleep(0.1)
        assert int(sim.state()["zoom"]) == stopped_at  # no steps after the deadman

        lens.jog("focus", 1.0, deadman=10)
        wait_until(lambda: int(sim.state()["focus"]) > 2048, "the jog never moved the focus")
        lens.stop()
        assert not lens.moving
        held = sim.state()["focus"]
        time.sleep(0.1)
        assert sim.state()["focus"] == held


def test_stats_count_the_exchanges(sim):
    sim.command("fault 32 silent 1")
    with kelvaro.Lens(sim.link) as lens:
        assert lens.stats == kelvaro.Stats((0,) * 16, (0,) * 8, 0.0)
        with pytest.raises(kelvaro.LensError):
            lens.focus
        lens.zoom
        lens.iris
        stats = lens.stats
        assert (stats.by_code[0], stats.by_code[4], sum(stats.by_code)) == (2, 1, 3)
        assert sum(stats.time_bucket) == 3 and stats.time_bucket[-1] == 1  # the time-out took the longest
        assert stats.time_sum > 0


def test_motion_bad_arguments_send_nothing(sim):
    with kelvaro.Lens(sim.link) as lens:
        sim.command("clearframes")
        bad = [lambda: lens.stream(axes=()), lambda: lens.stream(axes="zoom"), lambda: lens.stream(axes=["nose"]),
               lambda: lens.stream(rate=-1), lambda: lens.stream(rate=1001), lambda: lens.stream(rate=float("nan")),
               lambda: lens.move_together(), lambda: lens.move_together(zoom=4096),
               lambda: lens.move_together(zoom=1, seconds=601), lambda: lens.move_together(zoom=1, easing="cubic"),
               lambda: lens.move_together(zoom=1, seconds="2"), lambda: lens.jog("nose", 0.1),
               lambda: lens.jog("zoom", 1.5), lambda: lens.jog("zoom", 0.1, deadman=0.01),
               lambda: lens.jog("zoom", 0.1, deadman=61)]
        for call in bad:
            with pytest.raises(ValueError):
                call()
        assert sim.frames() == []
        assert not lens.moving
    for use in (lens.stop, lambda: lens.moving, lambda: lens.stats, lambda: lens.jog("zoom", 0.1),
                lambda: iter(lens.stream())):
        with pytest.raises(ValueError, match="lens is closed"):
            use()
