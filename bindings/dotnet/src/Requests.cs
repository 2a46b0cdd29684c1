// The machinery behind the Terminal class: the exception a failed call throws, the ordered hand-off
// of library callbacks to the thread pool, and one pending Req command.
using System;
using System.Collections.Generic;
using System.Threading;
using System.Threading.Tasks;

namespace VelquoraORN {
    /// <summary>A library result other than success: the code and its name.</summary>
    public sealed class OrnException : Exception {
        public OrnException(int code) : base(NameOf(code) + " (" + code + ")") {
            Code = code;
            Name = NameOf(code);
        }

        /// <summary>The result code: negative ORN_ERR_* or a positive terminal status.</summary>
        public int Code { get; private set; }
        /// <summary>The library's name for the code.</summary>
        public string Name { get; private set; }

        static string NameOf(int code) { return Native.Text(Native.ornGetErrorString(code)); }

        /// <summary>Throws unless result is 0; returns 0.</summary>
        internal static int Check(int result) {
            if (result != 0) throw new OrnException(result);
            return result;
        }
    }

    /// <summary>Runs the handlers of library callbacks one after another on the thread pool, in
    /// the order the callbacks came, so that a library thread never waits for an application
    /// handler and a handler that throws stops nothing else.</summary>
    sealed class CallbackQueue {
        readonly Queue<Action> queue = new Queue<Action>();
        readonly Action<Exception> failed;
        bool pumping;

        public CallbackQueue(Action<Exception> failed) { this.failed = failed; }

        public void Post(Action handler) {
            lock (queue) {
                queue.Enqueue(handler);
                if (pumping) return;
                pumping = true;
            }
            ThreadPool.QueueUserWorkItem(
                _ => Pump());
        }

        void Pump() {
            for (;;) {
                Action handler;
                lock (queue) {
                    if (queue.Count == 0) {
                        pumping = false;
                        return;
                    }
                    handler = queue.Dequeue();
                }
                try {
                    handler();
                } catch (Exception e) {
                    try {
                        failed(e);
                    } catch {
                        // The failure handler's own failure has nowhere left to go.
                    }
                }
            }
        }
    }

    /// <summary>Which cancel the library has for a request.</summary>
    enum RequestFamily { Display, CardReader, SmartCard, Pin }

    /// <summary>What the terminal keeps of a pending request.</summary>
    interface IPendingRequest {
        /// <summary>Ends the task with code unless it already ended.</summary>
        void End(int code);
    }

    /// <summary>One Req command: its task, its callback (kept reachable until the library has
    /// called it or can no longer call it), its time limit and its cancellation.</summary>
    sealed class PendingRequest<T> : IPendingRequest {
        readonly Terminal terminal;
        readonly RequestFamily family;
        readonly TimeSpan? limit;
        readonly CancellationToken token;
        readonly TaskCompletionSource<T> source =
            new TaskCompletionSource<T>(TaskCreationOptions.RunContinuationsAsynchronously);
        CancellationTokenRegistration registration;
        Timer timer;
        int timedOut;
        bool disarmed;

        public PendingRequest(Terminal terminal, RequestFamily family, TimeSpan? limit,
                              CancellationToken token) {
            this.terminal = terminal;
            this.family = family;
            this.limit = limit;
            this.token = token;
        }

        public Task<T> Task {
            get { return source.Task; }
        }
        public Delegate Callback { get; set; }

        /// <summary>Called once the library accepted the request: from now on the token and
        /// the time limit cancel it on the terminal.</summary>
        public void Arm() {
            lock (this) {
                if (disarmed) return;
                if (token.CanBeCanceled) registration = token.Register(() => Interrupt(false));
                if (limit.HasValue)
                    timer = new Timer(
                        _ => Interrupt(true), null, limit.Value, Timeout.InfiniteTimeSpan);
            }
        }

        void Interrupt(bool byTimeLimit) {
            if (byTimeLimit) Interlocked.Exchange(ref timedOut, 1);
            terminal.CancelOnTerminal(family, this);
        }

        /// <summary>The library's callback: reads the outputs while they are valid, then ends
        /// the task. Never lets an exception reach the library.</summary>
        public void Complete(int status, Func<T> read) {
            try {
                if (status == 0) {
                    T value = read();
                    Disarm();
                    source.TrySetResult(value);
                } else {
                    End(status);
                }
            } catch (Exception e) {
                Disarm();
                source.TrySetException(e);
            } finally {
                terminal.Release(this);
            }
        }

        public void End(int code) {
            Disarm();
            if (token.IsCancellationRequested)
                source.TrySetCanceled(token);
            else if (Volatile.Read(ref timedOut) != 0)
                source.TrySetException(new OrnException(Native.ORN_ERR_API_TIMEOUT));
            else
                source.TrySetException(new OrnException(code));
        }

        public void Fail(Exception e) {
            Disarm();
            source.TrySetException(e);
        }

        void Disarm() {
            lock (this) {
                disarmed = true;
                registration.Dispose();
                if (timer != null) timer.Dispose();
            }
        }
    }
}
