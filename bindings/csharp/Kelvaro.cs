// Kelvaro.cs: the C# binding of the Kelvaro32 lens library, in one file to add to a project.
//
// Flat holds the flat functions of Kelvaro32.h and Native the handle interface of kelvaro.h,
// both as the library exports them; Lens is the handle interface as a disposable class.
// The library is "Kelvaro32": Kelvaro32.dll on Windows (x86/ for 32-bit hosts, x64/ for
// 64-bit ones), libKelvaro32.so on Linux and Mono, found on the loader's usual path
// (LD_LIBRARY_PATH on Linux). StdCall is the 32-bit DLL's convention; elsewhere it is ignored.
using System;
using System.Collections;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;

namespace Kelvaro
{
    /// <summary>The flat functions of Kelvaro32.h, one lens link per process.</summary>
    /// <remarks>Call InitializeLensControl once before OpenComPort. Texts are StringBuilders
    /// with at least the capacity each function's comment in Kelvaro32.h asks for.</remarks>
    public static class Flat
    {
        const string Library = "Kelvaro32";
        const CallingConvention Call = CallingConvention.StdCall;

        [DllImport(Library, CallingConvention = Call)] public static extern int InitializeLensControl();
        [DllImport(Library, CallingConvention = Call)] public static extern int IsAutoConnected();

        [DllImport(Library, CallingConvention = Call, CharSet = CharSet.Ansi, BestFitMapping = false)]
        public static extern int OpenComPort(string portName);
        [DllImport(Library, CallingConvention = Call)] public static extern int CloseComPort();

        [DllImport(Library, CallingConvention = Call)] public static extern int Connect();
        [DllImport(Library, CallingConvention = Call)] public static extern int Reset();

        /// <summary>Appends the code's text to `text` (it needs room for 27 more bytes).</summary>
        [DllImport(Library, CallingConvention = Call, CharSet = CharSet.Ansi)]
        public static extern void GetResultString(int code, StringBuilder text);

        [DllImport(Library, CallingConvention = Call)] public static extern int SetLensIris(ushort position);
        [DllImport(Library, CallingConvention = Call)] public static extern int SetLensZoom(ushort position);
        [DllImport(Library, CallingConvention = Call)] public static extern int SetLensFocus(ushort position);
        [DllImport(Library, CallingConvention = Call)] public static extern int GetLensIris(out ushort position);
        [DllImport(Library, CallingConvention = Call)] public static extern int GetLensZoom(out ushort position);
        [DllImport(Library, CallingConvention = Call)] public static extern int GetLensFocus(out ushort position);

        [DllImport(Library, CallingConvention = Call)] public static extern int SetSwitch0Host(byte value);
        [DllImport(Library, CallingConvention = Call)] public static extern int SetSwitch2Host(byte value);
        [DllImport(Library, CallingConvention = Call)] public static extern int SetSwitch3Host(byte value);
        [DllImport(Library, CallingConvention = Call)] public static extern int SetSwitch4Host(byte value);
        [DllImport(Library, CallingConvention = Call, CharSet = CharSet.Ansi)]
        public static extern int GetSwitch0Host(StringBuilder text, out ushort value);
        [DllImport(Library, CallingConvention = Call, CharSet = CharSet.Ansi)]
        public static extern int GetSwitch2Host(StringBuilder text, out ushort value);
        [DllImport(Library, CallingConvention = Call, CharSet = CharSet.Ansi)]
        public static extern int GetSwitch3Host(StringBuilder text, out ushort value);
        [DllImport(Library, CallingConvention = Call, CharSet = CharSet.Ansi)]
        public static extern int GetSwitch4Host(StringBuilder text, out ushort value);
        [DllImport(Library, CallingConvention = Call)] public static extern int Set2XMag(ushort on);
        [DllImport(Library, CallingConvention = Call)] public static extern int Get2XMag(out ushort on);
        [DllImport(Library, CallingConvention = Call)] public static extern int SetAutoIris(ushort on);

        [DllImport(Library, CallingConvention = Call, CharSet = CharSet.Ansi)]
        public static extern int GetLensName(StringBuilder name);
        [DllImport(Library, CallingConvention = Call, CharSet = CharSet.Ansi)]
        public static extern int GetLensFocalLengthRange(StringBuilder text);
        [DllImport(Library, CallingConvention = Call, CharSet = CharSet.Ansi)]
        public static extern int GetLensMOD(StringBuilder text);
        [DllImport(Library, CallingConvention = Call, CharSet = CharSet.Ansi)]
        public static extern int GetLensOpenFNo(StringBuilder text);
    }

    /// <summary>The options of kelvaro_open; all zero is the default.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct LensOptions
    {
        public int Framing; // 0 frame-ended reads, 1 timed reads
        public int Watch;   // non-zero: the once-a-second check runs for the lens
        public int Reopen;  // non-zero (with Watch): the device is opened again after it went away
    }

    /// <summary>The lens's optics, as kelvaro_read_optics fills them.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct Optics
    {
        public double FocalMinMm, FocalMaxMm;
        public double ModM;    // minimum object distance, metres
        public double FNumber; // widest aperture

        public override string ToString()
        {
            return string.Format(System.Globalization.CultureInfo.InvariantCulture,
                                 "{0:0.0}-{1:0.0} mm, MOD {2:0.0} m, f/{3:0.00}", FocalMinMm, FocalMaxMm, ModM, FNumber);
        }
    }

    /// <summary>One round of a position stream, as kelvaro_sample (iris, zoom and focus are its
    /// position[3]).</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct Sample
    {
        public double Time;    // Lens.Clock() when the round's last good reply arrived
        public uint Sequence;  // 1, 2, 3, ... within one stream; a jump means samples were overwritten
        public uint Fresh;     // bit (1 << axis) for each axis read in this round
        public ushort Iris, Zoom, Focus;

        public override string ToString()
        {
            return string.Format(System.Globalization.CultureInfo.InvariantCulture, "{0:0.000000} #{1} fresh {2}: {3} {4} {5}",
                                 Time, Sequence, Fresh, Iris, Zoom, Focus);
        }
    }

    /// <summary>The lens's exchanges since it was opened, as kelvaro_lens_stats: host calls,
    /// checks, stream reads and steps.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct LensStats
    {
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 16)] public ulong[] ByCode;    // by result code 0..15
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 8)] public ulong[] TimeBucket; // up to 0.5, 1, 2.5, 5, 10, 50, 100 ms, longer
        public double TimeSum; // seconds, all exchanges
    }

    /// <summary>An open lens handle; closing it is kelvaro_close.</summary>
    /// <remarks>A SafeHandle is held for the length of every call, so a Dispose on another
    /// thread closes the lens only after the calls in flight are done.</remarks>
    public sealed class LensHandle : SafeHandle
    {
        LensHandle() : base(IntPtr.Zero, true) { }

        public override bool IsInvalid { get { return handle == IntPtr.Zero; } }

        protected override bool ReleaseHandle() { return Native.kelvaro_close(handle) == 0; }
    }

    /// <summary>The handle interface of kelvaro.h, as exported.</summary>
    public static class Native
    {
        const string Library = "Kelvaro32";
        const CallingConvention Call = CallingConvention.StdCall;

        public const int InvalidArgument = 101, NoFreeLens = 102;
        public const int Iris = 0, Zoom = 1, Focus = 2;

        [DllImport(Library, CallingConvention = Call, CharSet = CharSet.Ansi, BestFitMapping = false)]
        public static extern int kelvaro_open(string port, ref LensOptions options, out LensHandle lens);
        [DllImport(Library, CallingConvention = Call)] public static extern int kelvaro_close(IntPtr lens);
        [DllImport(Library, CallingConvention = Call)] public static extern int kelvaro_connect(LensHandle lens);
        [DllImport(Library, CallingConvention = Call)] public static extern int kelvaro_is_connected(LensHandle lens);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int kelvaro_move(LensHandle lens, int axis, ushort position);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int kelvaro_position(LensHandle lens, int axis, out ushort position);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int kelvaro_set_switch(LensHandle lens, int number, byte value);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int kelvaro_switch(LensHandle lens, int number, out byte value);
        [DllImport(Library, CallingConvention = Call, CharSet = CharSet.Ansi)]
        public static extern int kelvaro_name(LensHandle lens, StringBuilder name, UIntPtr size);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int kelvaro_read_optics(LensHandle lens, out Optics optics);
        public const int Timeout = 4;
        public const int EaseLinear = 0, EaseInOut = 1;

        [DllImport(Library, CallingConvention = Call)] public static extern double kelvaro_clock();
        [DllImport(Library, CallingConvention = Call)]
        public static extern int kelvaro_stream_start(LensHandle lens, uint axes, double rateHz);
        [DllImport(Library, CallingConvention = Call)] public static extern int kelvaro_stream_stop(LensHandle lens);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int kelvaro_stream_wait(LensHandle lens, out Sample sample, int timeoutMs);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int kelvaro_move_together(LensHandle lens, int[] targets, uint durationMs, int easing);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int kelvaro_jog(LensHandle lens, int axis, double speed, uint deadmanMs);
        [DllImport(Library, CallingConvention = Call)] public static extern int kelvaro_stop(LensHandle lens);
        [DllImport(Library, CallingConvention = Call)] public static extern int kelvaro_moving(LensHandle lens);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int kelvaro_stats(LensHandle lens, out LensStats stats);
        // A static text of the library's: read as a pointer so that nothing tries to free it.
        [DllImport(Library, CallingConvention = Call, EntryPoint = "kelvaro_result_text")]
        static extern IntPtr kelvaro_result_text_pointer(int code);

        public static string kelvaro_result_text(int code)
        {
            return Marshal.PtrToStringAnsi(kelvaro_result_text_pointer(code)) ?? "";
        }
    }

    /// <summary>A lens operation failed: Code is the library's result code, Text its name.</summary>
    [Serializable]
    public class LensException : Exception
    {
        public int Code { get; private set; }
        public string Text { get; private set; }

        public LensException(int code, string text) : base(text + " (code " + code + ")")
        {
            Code = code;
            Text = text;
        }
    }

    /// <summary>When a read of a reply ends: once it is a whole frame, or by the clock.</summary>
    public enum Framing { Frame = 0, Timed = 1 }

    /// <summary>The three motors, numbered as the library numbers them.</summary>
    public enum Axis { Iris = Native.Iris, Zoom = Native.Zoom, Focus = Native.Focus }

    /// <summary>How a timed move starts and stops: at constant speed, or smoothly.</summary>
    public enum Easing { Linear = Native.EaseLinear, InOut = Native.EaseInOut }

    /// <summary>A lens's position stream, started when made and stopped by Dispose; its
    /// enumeration waits for each sample and ends when the stream is stopped. A lens has one
    /// stream: making another replaces it.</summary>
    public sealed class LensStream : IDisposable, IEnumerable<Sample>
    {
        const int WaitMs = 100; // one wait's longest block, so that a Dispose elsewhere is seen soon

        readonly Lens lens;
        volatile bool running = true;

        internal LensStream(Lens lens) { this.lens = lens; }

        /// <summary>The next sample, waiting up to timeoutMs (0: a poll); null when none came.</summary>
        public Sample? Next(int timeoutMs)
        {
            if (timeoutMs < 0) throw new ArgumentOutOfRangeException("timeoutMs", timeoutMs, "a time-out is 0 or more");
            Sample sample;
            int code = Native.kelvaro_stream_wait(lens.Open(), out sample, timeoutMs);
            if (code == Native.Timeout) return null;
            Lens.Check(code);
            return sample;
        }

        public IEnumerator<Sample> GetEnumerator()
        {
            while (running)
            {
                Sample sample;
                int code = Native.kelvaro_stream_wait(lens.Open(), out sample, WaitMs);
                if (code == 0) yield return sample;
                else if (code != Native.Timeout && running) Lens.Check(code); // stopped by another, or closed
            }
        }

        IEnumerator IEnumerable.GetEnumerator() { return GetEnumerator(); }

        public void Dispose()
        {
            if (!running) return;
            running = false;
            if (!lens.IsDisposed) Lens.Check(Native.kelvaro_stream_stop(lens.Open()));
        }
    }

    /// <summary>An open lens.</summary>
    /// <remarks>Every property read asks the lens afresh; assigning a position sends the move
    /// (the motor's arrival is not awaited). A failed exchange throws LensException; a bad
    /// position or switch number throws ArgumentOutOfRangeException before anything is sent;
    /// a disposed lens throws ObjectDisposedException. Safe to use from several threads.</remarks>
    public sealed class Lens : IDisposable
    {
        public const int PositionMax = 4095;
        const int NameBufferSize = 300; // a whole name has at most 292 characters

        readonly LensHandle handle;
        readonly string port;

        public Lens(string port, Framing framing = Framing.Frame, bool watch = false, bool reopen = false)
        {
            if (port == null) throw new ArgumentNullException("port");
            if (framing != Framing.Frame && framing != Framing.Timed) throw new ArgumentOutOfRangeException("framing");
            var options = new LensOptions { Framing = (int)framing, Watch = watch ? 1 : 0, Reopen = reopen ? 1 : 0 };
            LensHandle opened;
            int code = Native.kelvaro_open(port, ref options, out opened);
            if (code != 0)
            {
                opened.SetHandleAsInvalid();
                throw Failure(code);
            }
            handle = opened;
            this.port = port;
        }

        public string Port { get { return port; } }

        public bool IsDisposed { get { return handle.IsClosed; } }

        public void Dispose() { handle.Dispose(); }

        public void Close() { Dispose(); }

        static LensException Failure(int code) { return new LensException(code, Native.kelvaro_result_text(code)); }

        internal static void Check(int code)
        {
            if (code != 0) throw Failure(code);
        }

        internal LensHandle Open()
        {
            if (handle.IsClosed) throw new ObjectDisposedException("Lens", "the lens " + port + " is closed");
            return handle;
        }

        /// <summary>The handshake; throws LensException when the lens does not answer it.</summary>
        public void Connect() { Check(Native.kelvaro_connect(Open())); }

        /// <summary>Whether the lens answered its last once-a-second check (always false unwatched).</summary>
        public bool Connected { get { return Native.kelvaro_is_connected(Open()) != 0; } }

        int Position(int axis)
        {
            ushort value;
            Check(Native.kelvaro_position(Open(), axis, out value));
            return value;
        }

        void Move(int axis, int position, string name)
        {
            if (position < 0 || position > PositionMax)
                throw new ArgumentOutOfRangeException(name, position, "a position is from 0 to " + PositionMax);
            Check(Native.kelvaro_move(Open(), axis, (ushort)position));
        }

        public int Iris { get { return Position(Native.Iris); } set { Move(Native.Iris, value, "Iris"); } }
        public int Zoom { get { return Position(Native.Zoom); } set { Move(Native.Zoom, value, "Zoom"); } }
        public int Focus { get { return Position(Native.Focus); } set { Move(Native.Focus, value, "Focus"); } }

        static int SwitchNumber(int number)
        {
            if (number != 0 && number != 2 && number != 3 && number != 4)
                throw new ArgumentOutOfRangeException("number", number, "the switches are 0, 2, 3 and 4");
            return number;
        }

        /// <summary>The raw byte of switch 0, 2, 3 or 4.</summary>
        public byte Switch(int number)
        {
            byte value;
            Check(Native.kelvaro_switch(Open(), SwitchNumber(number), out value));
            return value;
        }

        /// <summary>Writes a raw byte to switch 0, 2, 3 or 4.</summary>
        public void SetSwitch(int number, byte value)
        {
            Check(Native.kelvaro_set_switch(Open(), SwitchNumber(number), value));
        }

        /// <summary>The lens's whole name (a long one comes in two replies).</summary>
        public string Name
        {
            get
            {
                var name = new StringBuilder(NameBufferSize);
                Check(Native.kelvaro_name(Open(), name, (UIntPtr)NameBufferSize));
                return name.ToString();
            }
        }

        public Optics Optics
        {
            get
            {
                Optics optics;
                Check(Native.kelvaro_read_optics(Open(), out optics));
                return optics;
            }
        }

        /// <summary>Seconds on the clock of sample times.</summary>
        public static double Clock() { return Native.kelvaro_clock(); }

        static readonly Axis[] AllAxes = { Axis.Iris, Axis.Zoom, Axis.Focus };

        static int AxisNumber(Axis axis)
        {
            if (Array.IndexOf(AllAxes, axis) < 0) throw new ArgumentOutOfRangeException("axis", axis, "the axes are Iris, Zoom and Focus");
            return (int)axis;
        }

        /// <summary>Starts the lens's position stream of `axes` (all three when null), rateHz
        /// rounds a second (0: as fast as the line goes, up to 1000).</summary>
        public LensStream Stream(Axis[] axes = null, double rateHz = 0)
        {
            uint mask = 0;
            foreach (var axis in axes ?? AllAxes) mask |= 1u << AxisNumber(axis);
            if (mask == 0) throw new ArgumentException("a stream needs at least one axis", "axes");
            if (!(rateHz >= 0 && rateHz <= 1000)) throw new ArgumentOutOfRangeException("rateHz", rateHz, "a rate is from 0 to 1000");
            Check(Native.kelvaro_stream_start(Open(), mask, rateHz));
            return new LensStream(this);
        }

        /// <summary>Moves the axes given so that they arrive together after `seconds` (0 to 600);
        /// returns at once, the library sends the steps.</summary>
        public void MoveTogether(int? iris = null, int? zoom = null, int? focus = null, double seconds = 0,
                                 Easing easing = Easing.InOut)
        {
            var targets = new[] { iris ?? -1, zoom ?? -1, focus ?? -1 };
            foreach (var target in targets)
                if (target < -1 || target > PositionMax)
                    throw new ArgumentOutOfRangeException("target", target, "a position is from 0 to " + PositionMax);
            if (Array.TrueForAll(targets, t => t == -1)) throw new ArgumentException("no target given: iris, zoom or focus");
            if (!(seconds >= 0 && seconds <= 600)) throw new ArgumentOutOfRangeException("seconds", seconds, "from 0 to 600");
            if (easing != Easing.Linear && easing != Easing.InOut) throw new ArgumentOutOfRangeException("easing");
            Check(Native.kelvaro_move_together(Open(), targets, (uint)Math.Round(seconds * 1000), (int)easing));
        }

        /// <summary>Moves `axis` at `speed` (-1 to 1, a fraction of the whole travel a second)
        /// until `deadman` seconds (0.05 to 60) pass without another Jog of it, or speed 0.</summary>
        public void Jog(Axis axis, double speed, double deadman = 0.5)
        {
            int number = AxisNumber(axis);
            if (!(speed >= -1 && speed <= 1)) throw new ArgumentOutOfRangeException("speed", speed, "from -1 to 1");
            if (!(deadman >= 0.05 && deadman <= 60)) throw new ArgumentOutOfRangeException("deadman", deadman, "from 0.05 to 60 seconds");
            Check(Native.kelvaro_jog(Open(), number, speed, (uint)Math.Round(deadman * 1000)));
        }

        /// <summary>Ends every timed move and jog, leaving the lens where it is.</summary>
        public void Stop() { Check(Native.kelvaro_stop(Open())); }

        /// <summary>Whether a timed move or jog is in progress (asks the lens nothing).</summary>
        public bool Moving { get { return Native.kelvaro_moving(Open()) != 0; } }

        public LensStats Stats
        {
            get
            {
                LensStats stats;
                Check(Native.kelvaro_stats(Open(), out stats));
                return stats;
            }
        }

        public override string ToString() { return "Lens " + port + (IsDisposed ? " (closed)" : ""); }
    }
}
