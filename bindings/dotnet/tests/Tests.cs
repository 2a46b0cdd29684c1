// The binding against the library and the terminal simulator, driven through its control socket.
//   mono Tests.exe ORNSIM [NAME-PART]   (ORN_PORT_DIR set to an empty folder; the library found
//   through
//                            VelquoraORN.Net.dll.config and LD_LIBRARY_PATH)
// Ends with "N passed, M failed"; exits 1 when a case failed.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Net.Sockets;
using System.Runtime.InteropServices;
using System.Threading;
using System.Threading.Tasks;
using VelquoraORN;

static class Tests {
    const string Account = "4000001234567899";
    const string Key16 = "0123456789ABCDEF";
    static readonly TimeSpan Deadline = TimeSpan.FromSeconds(20);

    static Simulator sim;

    // Each family's common flow, one row each; every row gets a freshly opened terminal.
    static readonly Dictionary<string, Func<Terminal, Task>> Flows = new Dictionary<
        string, Func<Terminal, Task>> {
        ["session"] =
            async t => {
                Expect(Terminal.Version == "1.23", "version " + Terminal.Version);
                Expect(t.PortName == "COM7" && t.Ping() && t.ConnectionState == ConnectionState.Ok,
                       "link state");
                Expect(Terminal.ErrorName(-18) == "ORN_ERR_INVALID_PARAMETER_IN_API_CALL",
                       Terminal.ErrorName(-18));
                Expect(Native.ornGetVersionDWORD() == 0x00010017u, "version number");
                await Task.Yield();
            },
        ["basic"] =
            async t => {
                t.Beep(3);
                Expect(t.SerialNumber().Length == 16, "serial number");
                Expect(t.DeviceInfo().StartsWith("/"), "device info " + t.DeviceInfo());
                var e = Throws<OrnException>(() => t.Beep(16));
                Expect(e.Code == -18 && e.Name == "ORN_ERR_INVALID_PARAMETER_IN_API_CALL",
                       "bad beep: " + e.Message);
                await Task.Yield();
            },
        ["display and prompts"] =
            async t => {
                t.Display("Total     24.95", "Thank you");
                sim.Send("fkey 3");
                Expect(await t.PromptFunctionKeyAsync("Pay now?", "F1 yes  F3 no") == '3',
                       "function key");
                sim.Send("fkey 1");
                Expect(await t.ConfirmAmountAsync(1, 2495, "EUR") == '1', "amount confirmation");
            },
        ["keypad entry"] =
            async t => {
                sim.Send("keys 4711");
                Expect(await t.ReadInputAsync(2, 1, 0, "Enter tip", maxLength: 8) == "4711",
                       "entry");
            },
        ["scroll list"] =
            async t => {
                var list = new ScrollList();
                Expect(list.Add("Coffee", 11) && list.Add("Tea", 12) && list.Add("Water"),
                       "items added");
                sim.Send("select 2");
                var choice = await t.ScrollListAsync(list, "Drinks");
                Expect(choice.Selection == 2 && choice.Data == 12,
                       "choice " + choice.Selection + "/" + choice.Data);
            },
        ["card swipe"] =
            async t => {
                sim.Send("auto-swipe off");
                var swipe = t.SwipeCardAsync(2, 30000);
                sim.WaitForFrames("F0.", 1);
                sim.Send("swipe " + Account + "=2612101123456789");
                var card = await swipe;
                Expect(card.Track2Status == 0 && card.Track2Text.StartsWith(Account + "="),
                       "track 2 " + card.Track2Text);
            },
        ["card insert"] =
            async t => {
                var powerUp = t.PowerUpCardAsync(30000);
                sim.Send("insert");
                var atr = await powerUp;
                Expect(atr.Atr.Length > 0, "answer to reset");
                Expect(t.IsCardPresent() == 1, "card present");
            },
        ["PIN entry and debit"] =
            async t => {
                sim.Send("pin 2468");
                string pinBlock = await t.MasterSessionPinAsync(Account, Key16, timeout: 6);
                Expect(pinBlock.Length == 16, "PIN block " + pinBlock);
                var dukpt = await t.DukptPinAsync(Account);
                Expect(dukpt.PinBlock.Length == 16 && dukpt.KeySerialNumber.Length == 20, "DUKPT");
                sim.Send("status 5 6B.");
                var declined = await Catch<OrnException>(t.DebitAsync(2495, Account, 1, Key16));
                Expect(declined.Code == 5, "declined debit " + declined.Code);
                var debit = await t.DebitAsync(2495, Account, 1, Key16);
                Expect(debit.PinBlock.Length == 16, "debit PIN block");
            },
        ["MAC and key load"] =
            async t => {
                t.LoadMasterSessionKey(5, 0, Key16, null);
                Expect(t.EncryptData(5, Key16, null, "0000000000000000").Length == 16,
                       "encrypted block");
                string mac = t.CalculateMac(0, 1, Key16, null, "AMOUNT=24.95;TERMINAL=7");
                Expect(mac.Length >= 8, "MAC " + mac);
                Expect(
                    t.VerifyMac(0, 1, Key16, null, mac.Substring(0, 8), "AMOUNT=24.95;TERMINAL=7"),
                    "MAC verified");
                Expect(!t.VerifyMac(0, 1, Key16, null, "00000000", "AMOUNT=24.95;TERMINAL=7"),
                       "wrong MAC rejected");
                Expect(
                    t.CalculateBinaryMac(0, 1, Key16, null, new byte[] { 0, 1, 2, 255 }).Length ==
                        8,
                    "binary MAC");
                await Task.Yield();
            },
        ["EMV session"] =
            async t =>
        {
            t.OpenEmvSession("VSDC0001");
            Expect(t.EmvSessionIsOpen("VSDC0001"), "session open");
            await t.EmvSendAsync("VSDC0001", new byte[] { 0x9F, 0x02, 0x06, 0, 0, 0, 0x24, 0x95 });
            t.CloseEmvSession("VSDC0001");
            Expect(!t.EmvSessionIsOpen("VSDC0001"), "session closed");
        },
        ["discovery"] =
            async t => {
                Expect(Marshal.SizeOf(typeof(OrnComPortInfo)) == 24 &&
                           Marshal.SizeOf(typeof(OrnUsbHidDeviceInfo)) == 266,
                       "record sizes");
                var ports = Terminal.FindComPorts();
                Expect(ports.Any(p => p.Name == "COM7" && p.Kind == 0),
                       "COM7 listed: " + string.Join(" ", ports.Select(p => p.Name)));
                Expect(Terminal.FindUsbHidTerminals() != null, "HID listing");
                await Task.Yield();
            },
    };

    // The binding's own duties: asynchrony, cancellation, close, callbacks, delegate lifetime.
    static readonly Dictionary<string, Func<Terminal, Task>> Duties =
        new Dictionary<string, Func<Terminal, Task>> {
            ["a Req returns before the terminal acknowledges"] =
                async t => {
                    sim.Send("fkey 2");
                    sim.Send("delay-ack 800");
                    var watch = Stopwatch.StartNew();
                    var key = t.PromptFunctionKeyAsync("Slow link");
                    Expect(watch.ElapsedMilliseconds < 500 && !key.IsCompleted, "returned at once");
                    char pressed = await key;
                    Expect(pressed == '2', "key after the slow acknowledgement: " + pressed);
                },
            ["a refused Req faults its task"] =
                async t => {
                    var refused =
                        await Catch<OrnException>(t.PromptFunctionKeyAsync("bad\x02line"));
                    Expect(refused.Code == -18, "code " + refused.Code);
                },
            ["a token cancels on the terminal"] =
                async t => {
                    sim.Send("no-answer");
                    using (var cts = new CancellationTokenSource()) {
                        var entry = t.ReadInputAsync(2, 1, 0, "Never answered", token: cts.Token);
                        sim.WaitForFrames("58.", 1);
                        cts.Cancel();
                        await Catch<OperationCanceledException>(entry);
                        Expect(entry.IsCanceled, "task canceled");
                    }
                },
            ["a time limit ends a Req with ORN_ERR_API_TIMEOUT"] =
                async t => {
                    sim.Send("no-answer");
                    var e = await Catch<OrnException>(t.PromptFunctionKeyAsync(
                        "Too slow", timeLimit: TimeSpan.FromMilliseconds(300)));
                    Expect(e.Code == -19, "code " + e.Code);
                },
            ["close ends every pending task"] =
                async t => {
                    sim.Send("auto-swipe off");
                    sim.Send("keypad-delay 60000");
                    var tasks =
                        new List<Task> { t.PromptFunctionKeyAsync("Pending"), t.SwipeCardAsync(3),
                                         t.WaitForCardInsertionAsync() };
                    sim.WaitForFrames("58.", 1);
                    sim.WaitForFrames("F0.", 1);
                    t.Close();
                    foreach (var task in tasks) {
                        var e = await Catch<OrnException>(task);
                        Expect(e.Code == -1, "ended with " + e.Code);
                    }
                },
            ["a USB terminal pulled out ends its pending tasks"] =
                async t => {
                    t.Close();
                    string dir =
                        Path.Combine(Environment.GetEnvironmentVariable("ORN_PORT_DIR"), "hid");
                    using (var hid = new Simulator(sim.Path, dir, "--hid")) using (
                        var usb = Terminal.Open("USBHID")) {
                        var closed = new TaskCompletionSource<bool>();
                        usb.ConnectionStateChanged += (s, e) => {
                            if (e.State == ConnectionState.Closed) closed.TrySetResult(true);
                        };
                        Expect(Terminal.FindUsbHidTerminals().Count == 1,
                               "one HID terminal listed");
                        hid.Send("keypad-delay 60000");
                        var key = usb.PromptFunctionKeyAsync("Pull me out");
                        hid.WaitForFrames("58.", 1);
                        hid.Send("unplug");
                        var lost = await Catch<OrnException>(key);
                        Expect(lost.Code == -13, "ended with " + lost.Code);
                        await Within(closed.Task);
                    }
                },
            ["a handler that throws stops nothing"] =
                async t => {
                    var failures = new List<Exception>();
                    var poweredUp = new TaskCompletionSource<bool>();
                    t.PowerUp += (s, e) => { throw new InvalidOperationException("handler bug"); };
                    t.PowerUp += (s, e) => poweredUp.TrySetResult(true);
                    t.CallbackFailed += (s, e) => { lock (failures) failures.Add(e.Exception); };
                    // An enquiry while the open's own power-up is still being handled is part of
                    // it: ask again until one is reported.
                    for (int attempt = 0; attempt < 5 && !poweredUp.Task.IsCompleted; ++attempt) {
                        sim.Send("powerup");
                        await Task.WhenAny(poweredUp.Task, Task.Delay(TimeSpan.FromSeconds(4)));
                    }
                    await Within(poweredUp.Task);
                    sim.Send("fkey 4");
                    Expect(await t.PromptFunctionKeyAsync("Still here") == '4',
                           "requests still complete");
                    lock (failures)
                        Expect(failures.Count >= 1 && failures[0].Message == "handler bug",
                               "failure reported");
                },
            ["callbacks survive garbage collection while pending"] =
                async t => {
                    sim.Send("keypad-delay 1000");
                    sim.Send("auto-swipe off");
                    sim.Send("fkey 6");
                    var pending = new Task[] { t.PromptFunctionKeyAsync("Collect me"),
                                               t.SwipeCardAsync(2), t.WaitForCardInsertionAsync() };
                    for (int round = 0; !pending[0].IsCompleted; ++round) {
                        GC.Collect();
                        GC.WaitForPendingFinalizers();
                        await Task.WhenAny(pending[0], Task.Delay(50));
                    }
                    sim.Send("swipe");
                    sim.Send("insert");
                    await Within(Task.WhenAll(pending));
                    Expect(((Task<char>)pending[0]).Result == '6', "key delivered");
                    var closed = new TaskCompletionSource<bool>();
                    t.ConnectionStateChanged += (s, e) => {
                        if (e.State == ConnectionState.Closed) closed.TrySetResult(true);
                    };
                    GC.Collect();
                    GC.WaitForPendingFinalizers();
                    t.Close();
                    await Within(closed.Task);
                },
        };

    static int Main(string[] args) {
        int passed = 0, failed = 0;
        using (sim = new Simulator(args[0], Environment.GetEnvironmentVariable("ORN_PORT_DIR"))) {
            foreach (var row in Flows.Concat(Duties)) {
                if (args.Length > 1 && !row.Key.Contains(args[1])) continue;
                try {
                    using (var terminal = Terminal.Open("COM7")) {
                        sim.Send("clear");
                        var run = row.Value(terminal);
                        if (!run.Wait(Deadline))
                            throw new TimeoutException("no end within " + Deadline);
                        run.GetAwaiter().GetResult();
                    }
                    Console.WriteLine("ok     " + row.Key);
                    ++passed;
                } catch (Exception e) {
                    Console.WriteLine("FAILED " + row.Key + ": " +
                                      (e is AggregateException ? e.InnerException : e));
                    ++failed;
                }
                sim.Reset();
            }
        }
        Console.WriteLine(passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }

    static void Expect(bool condition, string what) {
        if (!condition) throw new Exception("expected: " + what);
    }

    static T Throws<T>(Action action)
        where T : Exception {
        try {
            action();
        } catch (T e) {
            return e;
        }
        throw new Exception("expected " + typeof(T).Name);
    }

    // The exception that ends task, within the deadline.
    static async Task<T> Catch<T>(Task task)
        where T : Exception {
        try {
            await Within(task);
        } catch (T e) {
            return e;
        }
        throw new Exception("expected " + typeof(T).Name + ", the task ended " + task.Status);
    }

    static async Task Within(Task task) {
        if (await Task.WhenAny(task, Task.Delay(Deadline)) != task)
            throw new TimeoutException("task still pending");
        await task;
    }
}

/// <summary>ornsim on COM7 in the port folder, with its control socket.</summary>
sealed class Simulator : IDisposable {
    readonly Process process;
    readonly StreamWriter writer;
    readonly StreamReader reader;
    readonly TcpClient client;
    public readonly string Path;

    /// <summary>ornsim on COM7 in portDir, or with "--hid" as a USB HID terminal in a fake
    /// device tree under portDir (the variables it prints are set for the library).</summary>
    public Simulator(string ornsim, string portDir, string terminal = "--port COM7") {
        Path = ornsim;
        var start = new ProcessStartInfo(
            ornsim, "--dir " + portDir + " " + terminal + " --control 0 --until-stdin-eof") {
            UseShellExecute = false, RedirectStandardOutput = true, RedirectStandardInput = true
        };
        process = Process.Start(start);
        string line;
        int port = -1;
        while (port < 0 && (line = process.StandardOutput.ReadLine()) != null)
            if (line.StartsWith("# control "))
                port = int.Parse(line.Substring(10));
            else if (line.StartsWith("export ORN_SYSFS_ROOT") ||
                     line.StartsWith("export ORN_DEV_ROOT"))
                SetEnvironment(line.Substring(7));
        if (port < 0) throw new Exception("ornsim printed no control port");
        ThreadPool.QueueUserWorkItem(
            _ => process.StandardOutput.ReadToEnd());
        client = new TcpClient("127.0.0.1", port);
        var stream = client.GetStream();
        writer = new StreamWriter(stream) { AutoFlush = true, NewLine = "\n" };
        reader = new StreamReader(stream);
    }

    static void SetEnvironment(string assignment) {
        int equals = assignment.IndexOf('=');
        Environment.SetEnvironmentVariable(assignment.Substring(0, equals),
                                           assignment.Substring(equals + 1));
    }

    /// <summary>Runs a control command; throws unless ornsim answers "ok".</summary>
    public string Send(string command) {
        writer.WriteLine(command);
        string reply = reader.ReadLine();
        if (reply == null || !reply.StartsWith("ok")) throw new Exception(command + ": " + reply);
        return reply;
    }

    /// <summary>Waits until the host sent count frames with id since the last "clear".</summary>
    public void WaitForFrames(string id, int count) {
        var watch = Stopwatch.StartNew();
        while (int.Parse(Send("frames " + id).Substring(3)) < count) {
            if (watch.Elapsed > TimeSpan.FromSeconds(20))
                throw new TimeoutException("no " + id + " frame");
            Thread.Sleep(20);
        }
    }

    /// <summary>Undoes what a case may have left set.</summary>
    public void Reset() {
        foreach (var command in new[] { "auto-swipe on", "delay-ack 0", "keypad-delay 0", "remove",
                                        "clear" })
            Send(command);
    }

    public void Dispose() {
        try {
            Send("exit");
        } catch (Exception) {
        }
        client.Close();
        if (!process.WaitForExit(10000)) process.Kill();
    }
}
