// The C# binding against simulated lenses (kelvaro-lens-sim on ptys), under Mono.
//   mono KelvaroTests.exe --sim PATH --mcs PATH --mono PATH --binding Kelvaro.cs --readme README.md
//   mono KelvaroTests.exe --expect-missing-library     (run where the library cannot be found)
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Text;
using System.Text.RegularExpressions;
using System.Threading.Tasks;
using Kelvaro;

class Simulator : IDisposable
{
    public readonly string Link;
    readonly Process process;
    readonly FileStream commands, answers;

    public Simulator(string program, string folder, int index, string extra)
    {
        Link = Path.Combine(folder, "lens" + index);
        var control = Path.Combine(folder, "control" + index);
        process = Process.Start(new ProcessStartInfo(program, string.Format("--link {0} --control-link {1} --speed 0 {2}",
            Link, control, extra)) { UseShellExecute = false, RedirectStandardOutput = true });
        // It prints "ready" once both devices and links exist.
        for (string line = ""; line != "ready";)
            if ((line = process.StandardOutput.ReadLine()) == null) throw new Exception("the simulator did not come up");
        // A stream each way: through one read-write FileStream Mono sent the answers it had read
        // back to the simulator as commands.
        commands = new FileStream(control, FileMode.Open, FileAccess.Write, FileShare.ReadWrite, 1);
        answers = new FileStream(control, FileMode.Open, FileAccess.Read, FileShare.ReadWrite, 1);
    }

    // One control command; its answer after "ok" (an "err" answer fails the test).
    public string Command(string line)
    {
        var bytes = Encoding.ASCII.GetBytes(line + "\n");
        commands.Write(bytes, 0, bytes.Length);
        commands.Flush();
        var answer = new StringBuilder();
        for (int b; (b = answers.ReadByte()) != '\n';)
        {
            if (b < 0) throw new Exception("the control channel closed");
            answer.Append((char)b);
        }
        var text = answer.ToString().TrimEnd('\r');
        if (!text.StartsWith("ok")) throw new Exception(line + " -> " + text);
        return text.Length > 3 ? text.Substring(3) : "";
    }

    public string Frames() { return Command("frames"); }

    public string State(string key)
    {
        var words = Command("state").Split(' ');
        return words[Array.IndexOf(words, key) + 1];
    }

    public void Dispose()
    {
        // "quit" lets the simulator remove its links; killed only when it does not end.
        try { Command("quit"); } catch (Exception) { }
        commands.Dispose();
        answers.Dispose();
        if (!process.WaitForExit(10000)) process.Kill();
    }
}

static class LensTests
{
    static readonly Dictionary<string, string> options = new Dictionary<string, string>();
    static readonly string folder = Path.Combine(Path.GetTempPath(), "kelvaro-cs-" + Process.GetCurrentProcess().Id);
    static readonly List<Simulator> running = new List<Simulator>();
    static int passed, failed, skipped;

    class Skip : Exception { public Skip(string why) : base(why) { } }

    static Simulator StartLens(string extra = "")
    {
        running.Add(new Simulator(options["--sim"], folder, running.Count, extra));
        return running.Last();
    }

    static void Equal<T>(T expected, T actual, string what)
    {
        if (!EqualityComparer<T>.Default.Equals(expected, actual))
            throw new Exception(string.Format("{0}: expected {1}, got {2}", what, expected, actual));
    }

    static E Throws<E>(Action action, string what) where E : Exception
    {
        try { action(); }
        catch (E error) { return error; }
        catch (Exception other) { throw new Exception(what + ": expected " + typeof(E).Name + ", got " + other); }
        throw new Exception(what + ": expected " + typeof(E).Name + ", nothing thrown");
    }

    static void PropertiesReachTheLens()
    {
        var sim = StartLens();
        const string longName = "Zoom 12.5-300 mm with a name long enough for a second reply";
        sim.Command("state name " + longName);
        sim.Command("state focus 321");
        using (var lens = new Lens(sim.Link))
        {
            Equal(longName, lens.Name, "name");
            Equal(321, lens.Focus, "focus set on the lens");
            lens.Iris = 100; lens.Zoom = 2000; lens.Focus = 4095;
            Equal("100 2000 4095 2000", lens.Iris + " " + lens.Zoom + " " + lens.Focus + " " + sim.State("zoom"), "positions");
            Equal("10.0-200.0 mm, MOD 0.9 m, f/2.00", lens.Optics.ToString(), "optics");
            Equal("0e df ff f8", string.Join(" ", new[] { 0, 2, 3, 4 }.Select(n => lens.Switch(n).ToString("x2"))), "switches");
            lens.SetSwitch(3, 0xFE);
            Equal("254 fe", lens.Switch(3) + " " + sim.State("switch3"), "switch 3 after setting it");
            lens.Connect();
            Equal(false, lens.Connected, "an unwatched lens's Connected");
        }
    }

    static void TwoLensesFromTwoThreads()
    {
        var sims = new[] { StartLens("--name LensA"), StartLens("--name LensB") };
        var work = Enumerable.Range(0, 2).Select(i => Task.Factory.StartNew(() =>
        {
            var seen = "";
            using (var lens = new Lens(sims[i].Link))
                for (int step = 0; step < 5; ++step)
                {
                    lens.Zoom = 1000 * i + step;
                    seen += lens.Name + ":" + lens.Zoom + " ";
                }
            return seen;
        }, TaskCreationOptions.LongRunning)).ToArray();  // a thread each
        Equal("LensA:0 LensA:1 LensA:2 LensA:3 LensA:4 ", work[0].Result, "lens A");
        Equal("LensB:1000 LensB:1001 LensB:1002 LensB:1003 LensB:1004 ", work[1].Result, "lens B");
        Equal("4 1004", sims[0].State("zoom") + " " + sims[1].State("zoom"), "the lenses' zooms");
    }

    static void FailuresThrowLensException()
    {
        var sim = StartLens();
        sim.Command("fault 31 silent 1");
        using (var lens = new Lens(sim.Link))
        {
            var timeout = Throws<LensException>(() => { var z = lens.Zoom; }, "silent zoom");
            Equal("4 Timeout 2048", timeout.Code + " " + timeout.Text + " " + lens.Zoom, "a one-reply silence");
        }
        Equal(7, Throws<LensException>(() => new Lens(Path.Combine(folder, "absent")), "absent device").Code, "absent");
        var reopen = Throws<LensException>(() => new Lens(sim.Link, reopen: true), "reopen");
        Equal("101 Invalid Argument", reopen.Code + " " + reopen.Text, "reopen, reserved");
    }

    static void DisposedLensThrows()
    {
        var lens = new Lens(StartLens().Link);
        lens.Dispose();
        lens.Dispose();
        foreach (var use in new Action[] { () => { var z = lens.Zoom; }, () => lens.Iris = 1, () => { var n = lens.Name; },
                                           () => { var o = lens.Optics; }, () => lens.Switch(0), () => lens.SetSwitch(0, 1),
                                           () => { var c = lens.Connected; }, lens.Connect, lens.Stop,
                                           () => { var m = lens.Moving; }, () => { var t = lens.Stats; },
                                           () => lens.Stream(), () => lens.Jog(Axis.Zoom, 0.1),
                                           () => lens.MoveTogether(zoom: 1) })
            Throws<ObjectDisposedException>(use, "a disposed lens");
    }

    static void BadArgumentsSendNothing()
    {
        var sim = StartLens();
        using (var lens = new Lens(sim.Link))
        {
            sim.Command("clearframes");
            var bad = new Action[] { () => lens.Zoom = -1, () => lens.Focus = 4096, () => lens.Iris = 65536,
                                     () => lens.Switch(1), () => lens.Switch(5), () => lens.SetSwitch(1, 0) };
            foreach (var call in bad) Throws<ArgumentOutOfRangeException>(call, "a bad argument");
            Equal("", sim.Frames(), "frames sent");
            lens.Zoom = 2048;
            Equal("022180005d", sim.Frames(), "the one good move");
        }
    }

    // Polls `done` until it holds; fails the test after 10 s.
    static void WaitUntil(Func<bool> done, string what)
    {
        var clock = Stopwatch.StartNew();
        while (!done())
        {
            if (clock.ElapsedMilliseconds > 10000) throw new Exception(what);
            System.Threading.Thread.Sleep(20);
        }
    }

    static void StreamSamplesFollowTheLens()
    {
        var sim = StartLens();
        sim.Command("state zoom 1234");
        using (var lens = new Lens(sim.Link))
        {
            double started = Lens.Clock();
            var samples = new List<Sample>();
            using (var stream = lens.Stream(new[] { Axis.Zoom, Axis.Focus }, 100))
                foreach (var sample in stream)
                {
                    samples.Add(sample);
                    if (samples.Count == 5) sim.Command("state focus 99");
                    if (sample.Focus == 99 || samples.Count > 500) break;
                }
            Equal(99, (int)samples.Last().Focus, "the focus the stream saw last");
            Equal(string.Join(" ", Enumerable.Range(1, samples.Count)), string.Join(" ", samples.Select(x => x.Sequence)),
                  "sequence numbers");
            Equal("6 0 1234", samples[0].Fresh + " " + samples[0].Iris + " " + samples[0].Zoom, "the first sample");
            Equal(true, started <= samples[0].Time && samples[0].Time <= samples.Last().Time && samples.Last().Time <= Lens.Clock(),
                  "sample times on the library's clock, in order");
            // Disposed: nothing more is read.
            System.Threading.Thread.Sleep(50);
            sim.Command("clearframes");
            System.Threading.Thread.Sleep(100);
            Equal("", sim.Frames(), "frames after the stream's Dispose");
            using (var all = lens.Stream())
            {
                var first = all.Next(10000);
                Equal("1 7 2048", first.Value.Sequence + " " + first.Value.Fresh + " " + first.Value.Iris, "a stream of all axes");
            }
        }
    }

    static void MovesJogsAndStats()
    {
        var sim = StartLens();
        using (var lens = new Lens(sim.Link))
        {
            lens.MoveTogether(zoom: 1000, focus: 3000, seconds: 0.3, easing: Easing.Linear);
            WaitUntil(() => !lens.Moving, "the timed move never ended");
            Equal("2048 1000 3000", sim.State("iris") + " " + sim.State("zoom") + " " + sim.State("focus"), "the targets");

            lens.MoveTogether(iris: 4000, seconds: 60);
            Equal(true, lens.Moving, "Moving during a minute's move");
            lens.Stop();
            Equal(false, lens.Moving, "Moving after Stop");
            Equal(true, int.Parse(sim.State("iris")) < 4000, "the iris held short of its target");

            lens.Jog(Axis.Zoom, -0.5, 0.2);
            WaitUntil(() => !lens.Moving, "the deadman never ended the jog");
            int stoppedAt = int.Parse(sim.State("zoom"));
            Equal(true, stoppedAt < 1000, "the zoom jogged down from 1000, at " + stoppedAt);
            lens.Jog(Axis.Focus, -1, 10);
            WaitUntil(() => int.Parse(sim.State("focus")) < 3000, "the jog never moved the focus");
            lens.Stop();
            Equal(false, lens.Moving, "Moving after Stop");
            var held = sim.State("focus");
            System.Threading.Thread.Sleep(100);
            Equal(held, sim.State("focus"), "the focus after Stop");

            var stats = lens.Stats;
            ulong exchanges = stats.ByCode.Aggregate(0UL, (a, b) => a + b);
            Equal(true, stats.ByCode[0] > 2 && exchanges == stats.ByCode[0], "every exchange OK: " + string.Join(" ", stats.ByCode));
            Equal(exchanges, stats.TimeBucket.Aggregate(0UL, (a, b) => a + b), "each exchange's time counted once");
            Equal(true, stats.TimeSum > 0, "the exchanges' time");
        }
    }

    static void MotionBadArgumentsSendNothing()
    {
        var sim = StartLens();
        using (var lens = new Lens(sim.Link))
        {
            sim.Command("clearframes");
            var outOfRange = new Action[] { () => lens.Stream(null, -1), () => lens.Stream(null, 1001), () => lens.Stream(null, double.NaN),
                                            () => lens.Stream(new[] { (Axis)3 }), () => lens.MoveTogether(zoom: 4096),
                                            () => lens.MoveTogether(zoom: 1, seconds: 601), () => lens.MoveTogether(zoom: 1, easing: (Easing)2),
                                            () => lens.Jog(Axis.Zoom, 1.5), () => lens.Jog(Axis.Zoom, 0.1, 0.01), () => lens.Jog((Axis)(-1), 0.1) };
            foreach (var call in outOfRange) Throws<ArgumentOutOfRangeException>(call, "a bad argument");
            Throws<ArgumentException>(() => lens.MoveTogether(), "no target");
            Throws<ArgumentException>(() => lens.Stream(new Axis[0]), "no axis");
            Equal("", sim.Frames(), "frames sent");
            Equal(false, lens.Moving, "Moving");
        }
    }

    static void FlatRoundTrip()
    {
        var sim = StartLens();
        sim.Command("state zoom 777");
        Equal(0, Flat.InitializeLensControl() + Flat.OpenComPort(sim.Link), "InitializeLensControl, OpenComPort");
        ushort zoom;
        Equal("0 777 0", Flat.GetLensZoom(out zoom) + " " + zoom + " " + Flat.SetLensZoom(2048), "GetLensZoom, SetLensZoom");
        var text = new StringBuilder("zoom:", 64);
        Flat.GetResultString(0, text);
        Equal("zoom: OK 0 10", text + " " + Flat.CloseComPort() + " " + Flat.CloseComPort(), "GetResultString, CloseComPort twice");
        Equal(true, sim.Frames().Contains("022180005d"), "SetLensZoom(2048)'s frame");
    }

    static string Run(string program, string arguments)
    {
        var start = new ProcessStartInfo(program, arguments) { UseShellExecute = false, RedirectStandardOutput = true };
        using (var process = Process.Start(start))
        {
            var output = process.StandardOutput.ReadToEnd();
            process.WaitForExit();
            Equal(0, process.ExitCode, Path.GetFileName(program) + " " + arguments + " said " + output);
            return output;
        }
    }

    static void ReadmeExampleRuns()
    {
        var readme = Environment.GetEnvironmentVariable("KELVARO_README");
        var text = File.ReadAllText(string.IsNullOrEmpty(readme) ? options["--readme"] : readme);
        // Lines up to the block may be anything but another heading.
        var block = Regex.Match(text, @"^### C#\n(?:(?!#{1,3} )[^\n]*\n)*?```csharp\n(.*?)^```", RegexOptions.Multiline | RegexOptions.Singleline);
        if (!block.Success) throw new Skip("README.md has no ```csharp block under \"### C#\" yet");
        var example = block.Groups[1].Value;
        Equal(true, example.Contains("/dev/ttyUSB0"), "the example's port /dev/ttyUSB0");
        var sim = StartLens();
        string source = Path.Combine(folder, "Example.cs"), program = Path.Combine(folder, "Example.exe");
        File.WriteAllText(source, example.Replace("/dev/ttyUSB0", sim.Link));
        Run(options["--mcs"], string.Format("-nologo -out:{0} {1} {2}", program, source, options["--binding"]));
        Equal(true, Run(options["--mono"], program).Contains("Simulated Zoom Lens 10-200"), "the lens's name in the output");
        Equal(true, Regex.IsMatch(sim.Frames(), "(^| )0221"), "a zoom move from the example");
    }

    static void Test(string name, Action test)
    {
        try { test(); ++passed; Console.WriteLine("PASS " + name); }
        catch (Skip why) { ++skipped; Console.WriteLine("SKIP " + name + ": " + why.Message); }
        catch (Exception error) { ++failed; Console.WriteLine("FAIL " + name + ": " + error); }
        running.ForEach(simulator => simulator.Dispose());
        running.Clear();
    }

    static int Main(string[] args)
    {
        if (args.SequenceEqual(new[] { "--expect-missing-library" }))
        {
            Test("MissingLibraryIsNamed", () => Equal(true, Throws<DllNotFoundException>(() => new Lens("/dev/null"),
                "a lens without the library").Message.Contains("Kelvaro32"), "the library's name in the message"));
        }
        else
        {
            for (int i = 0; i + 1 < args.Length; i += 2) options[args[i]] = args[i + 1];
            Directory.CreateDirectory(folder);
            try
            {
                Test("PropertiesReachTheLens", PropertiesReachTheLens);
                Test("TwoLensesFromTwoThreads", TwoLensesFromTwoThreads);
                Test("FailuresThrowLensException", FailuresThrowLensException);
                Test("DisposedLensThrows", DisposedLensThrows);
                Test("BadArgumentsSendNothing", BadArgumentsSendNothing);
                Test("StreamSamplesFollowTheLens", StreamSamplesFollowTheLens);
                Test("MovesJogsAndStats", MovesJogsAndStats);
                Test("MotionBadArgumentsSendNothing", MotionBadArgumentsSendNothing);
                Test("FlatRoundTrip", FlatRoundTrip);
                Test("ReadmeExampleRuns", ReadmeExampleRuns);
            }
            finally { Directory.Delete(folder, true); }
        }
        Console.WriteLine("{0} passed, {1} failed, {2} skipped", passed, failed, skipped);
        return failed == 0 ? 0 : 1;
    }
}
