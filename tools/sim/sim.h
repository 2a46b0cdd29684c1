// tools/sim/ owns the terminal simulator (library orn_sim and the ornsim program): the link
// and power-up behaviour of the terminal, the default answers of every command family, the fake
// device tree for USB discovery, and the commands that drive it by hand (console, script, control
// port).
//
// Its parts, each readable alone: the wire to the host (wire.h: pty or HID socket), the frame
// reader (frame_reader.h), the link state with its handshake and fault plan (link_state.h,
// handshake.h, fault_plan.h), the terminal model each simulator owns (terminal.h), the answers
// a caller registers (answers*.h), the commands (commands.h) and the options of ornsim (cli.cpp).
// This file's TerminalSimulator ties them together: the public API, the handlers and the record.
//
// Terminal simulator: plays the PIN pad at the far end of a pseudo-terminal so that a
// point-of-sale application (or the library's integration tests) can run without hardware.
//
// The simulator owns the pty master; the host opens the slave, directly by path or as a COM
// name through a symlink in a port directory. It frames, checks and acknowledges what the host
// sends, answers messages through per-identifier handlers, performs the power-up enquiry
// handshake each time the host opens the port, records all traffic for assertions and can
// inject link faults. It has its own small codec (framing, LRC, P1.6) on purpose: it shares no
// codec with the library, so a codec fault on either side shows up as a disagreement. What it
// shares is the message catalogue (src/link/catalogue.h), for request fields and its trace.
//
// All public members are thread-safe. Handlers run on the simulator's I/O thread, one at a
// time (an input answer held for keys typed by hand finishes on the thread that typed the last
// key, still one at a time), without any simulator lock held: they may call the simulator
// (SendFrame, Snapshot, fault setters) but must not block; use SetResponseDelay or SendFrameLater
// for slow answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fault_plan.h"
#include "terminal.h"

namespace orn::sim {

constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kEnq = 0x05;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kEtb = 0x17;

// ---- Codec -------------------------------------------------------------------------------

// P1.6 text encoding of raw bytes for the 7-bit link: 3 bytes become 4 characters 0x40..0x7F.
std::string EncodeP16(const std::string& bytes);
// Inverse of EncodeP16: the low 6 bits of each character, incomplete trailing bits dropped.
std::string DecodeP16(const std::string& chars);
// Splits the body of a STX frame (between start byte and end byte) into identifier and payload;
// the payload of "F0."/"F1." is P1.6-decoded unless the link is 8-bit.
void SplitMessage(const std::string& body, std::string& id, std::string& payload, bool eightBit);
// A hexadecimal digit's value, or -1.
int HexValue(char c);
bool IsHex(const std::string& text);
// The bytes an even number of hexadecimal digits spell; nothing for anything else.
std::optional<std::string> FromHex(const std::string& hex);
// True for the identifiers whose payload travels P1.6-encoded ("F0.", "F1.", any case).
bool IsBinaryId(const std::string& id);
// LRC of a frame given without its LRC byte: XOR from after the start byte (from the start
// byte itself when it is not STX) through the end byte.
uint8_t Lrc(const std::vector<uint8_t>& frameWithoutLrc);
// start byte, `body`, end byte, LRC; `body` goes on the wire unchanged.
std::vector<uint8_t> BuildRawFrame(const std::string& body, uint8_t start = kStx,
                                   uint8_t end = kEtx);
// Frame of a message as the 7-bit link carries it: the payload of "F0."/"F1." is P1.6-encoded.
std::vector<uint8_t> BuildFrame(const std::string& id, const std::string& payload);
// Readable form of wire bytes for traces: <STX>5B.0<ETX><28>.
std::string Describe(const std::vector<uint8_t>& bytes);
// The key FramesSeen counts a reader channel's request under: "F0. 7 0D" for channel 7,
// function 0x0D.
std::string FrameStepKey(const std::string& id, unsigned channel, unsigned function);
// Opens a tty device the way a host would (read/write, no controlling tty, raw mode,
// non-blocking). Returns the descriptor or -1. For tests that play the host themselves.
int OpenRawTty(const std::string& path);

// ---- Simulator ---------------------------------------------------------------------------

// What the terminal does when the host opens the port.
enum class PowerUp {
    EnqAck,    // ENQ; on the host's answer (ACK, or a frame such as the cancel frame) send ACK
    ThreeEnq,  // ENQ three times, each after the host's answer
    None,      // nothing: only acknowledges and answers frames
};

// What the terminal answered to a good frame.
enum class Reply { Ack, Nak, None };

// A good frame received from the host.
struct Frame {
    uint8_t start = kStx;
    uint8_t end = kEtx;
    std::string id;            // "5B.", "72", ...; empty for continuation blocks (SOH)
    std::string payload;       // bytes after the identifier; P1.6-decoded for "F0."/"F1."
    std::vector<uint8_t> raw;  // the frame as it came, start byte to LRC
    Reply reply = Reply::Ack;
};

// A complete message handed to a handler. Blocks of a multi-block message (STX..ETB,
// SOH..ETB, ..., SOH..ETX) are joined: `payload` is the concatenation, `raw` the last block.
struct Request {
    std::string id;
    std::string payload;
    std::vector<uint8_t> raw;
};

// Everything seen since construction or the last ClearRecord().
struct Record {
    std::vector<uint8_t> rx;       // every byte read from the host, in order
    std::vector<uint8_t> tx;       // every byte written to the host, in order
    std::vector<size_t> txWrites;  // size of each write() call, in order
    std::vector<Frame> frames;     // good frames from the host, in order
    int badFrames = 0;             // frames with a wrong LRC (answered with NAK)
    int hostAcks = 0;              // ACK bytes from the host outside frames
    int hostNaks = 0;              // NAK bytes from the host outside frames
    int linkTests = 0;             // ENQ bytes from the host (link tests)
    int enqsSent = 0;              // ENQs the simulator wrote (handshakes and SendEnq)
    int handshakes = 0;            // completed power-up handshakes
    int resends = 0;               // frames written again after the host's NAK
    int hostOpens = 0;             // the port went from closed to open
    int hostCloses = 0;            // the port went from open to closed
};

// One message on the link, for a live trace: its identifier, which way it went, its name and
// fields from the message catalogue, secrets masked as the library's log masks them.
struct TraceEntry {
    uint64_t seq = 0;  // from 1, in the order the frames were seen
    bool fromTerminal = false;
    std::string id;    // "5B."; empty for a continuation block
    std::string name;  // "beep"; empty when the catalogue does not know the message
    std::vector<std::pair<std::string, std::string>> fields;  // name and (masked) text
    std::string text;                                         // "5B. beep: tone 7", masked
    Reply reply = Reply::Ack;  // for the host's frames: what the terminal answered
};
// A message (identifier and decoded payload) as a trace entry; `seq` and `reply` unset.
TraceEntry MakeTraceEntry(bool fromTerminal, const std::string& id, const std::string& payload);

class TerminalSimulator;

struct Options {
    // Registers the terminal's answers (SetHandler) before the I/O thread starts, so no frame
    // finds them missing. Without it the terminal only acknowledges; InstallDefaultAnswers
    // (answers.h) registers every command family.
    std::function<void(TerminalSimulator&)> answers;
    // When set, a symlink `linkDir`/`portName` -> slave device is created (and removed again
    // on destruction), so the host opens the port by its COM name.
    std::string linkDir;
    std::string portName = "COM7";
    // When set, the terminal is a USB HID device instead: a SOCK_SEQPACKET socket listening at
    // this path, each message one report of `hidReportLength` bytes (identifier 2, data count,
    // data, filler) in both directions. The host is open while it holds a connection (it may
    // hold several; output goes to every one). The pty options above are then unused.
    std::string hidPath;
    unsigned hidReportLength = 32;
    PowerUp powerUp = PowerUp::EnqAck;
    // Pause between seeing the host open the port and the first ENQ, to let it set the line up.
    int powerUpDelayMs = 30;
    // An ENQ the host does not answer is repeated after this long, at most this many times.
    int enqRetryMs = 500;
    int enqRetries = 6;
    // How often a response frame is written again when the host NAKs it.
    int maxResends = 3;
    // Notice the host's open and close through file-system events on the slave device (needed
    // to catch a close followed at once by a reopen). When off or unavailable, hang-ups of the
    // master are polled every few milliseconds instead.
    bool watchOpens = true;
    // Keep the traffic (rx, tx, txWrites, frames) in the record; the counters are kept
    // always. Off for long runs, where the record would only grow.
    bool recordTraffic = true;
    // Receives one line per event and per chunk read or written (for --verbose). Called on the
    // I/O thread.
    std::function<void(const std::string&)> trace;
    // Called after Unplug() with false and after a successful Replug() with true, so that what
    // lists the device (a fake sysfs tree) follows it. Called on the caller's thread.
    std::function<void(bool plugged)> onPlug;
};

class TerminalSimulator {
  public:
    // Returns the response payload (the simulator sends identifier + payload) or nullopt for
    // no response (the frame is only acknowledged).
    using Handler = std::function<std::optional<std::string>(const Request&)>;

    // Creates the pty (and the link) and starts the I/O thread. Check ok().
    explicit TerminalSimulator(Options options = {});
    ~TerminalSimulator();  // Stop(), closes the pty, removes the link
    TerminalSimulator(const TerminalSimulator&) = delete;
    TerminalSimulator& operator=(const TerminalSimulator&) = delete;

    bool ok() const;
    const std::string& error() const;      // why construction failed
    const std::string& slavePath() const;  // e.g. /dev/pts/3
    const std::string& linkPath() const;   // linkDir/portName, or empty
    void Stop();                           // stops the I/O thread; idempotent

    // Handlers by identifier ("5B.", "72"; matched exactly, then upper-cased); the ones that
    // Options::answers registered to begin with. An empty handler removes the entry: ACK only.
    void SetHandler(const std::string& id, Handler handler);
    // The handler registered for `id` (exact match), empty when none. Lets an installer extend a
    // shared identifier ("F1." carries EMV and binary MAC messages) by chaining to it.
    Handler GetHandler(const std::string& id) const;

    void SetPowerUp(PowerUp mode);  // for the next open
    // Runs the handshake now (EnqAck when the mode is None).
    void TriggerPowerUp();
    // Silent: the terminal is absent; it records but writes nothing at all.
    void SetSilent(bool silent);
    bool IsHostOpen() const;
    // The terminal is pulled out: the I/O thread stops and the host's side of the link goes
    // (a pty hangs up; a HID socket drops its connections and its node).
    void Unplug();
    // Plugged in again after Unplug(): a new pty behind the same link name (or the HID node at
    // the same path) and a running I/O thread. False when the device cannot be recreated.
    bool Replug();
    // The terminal restarts: what it was about to send is lost and it greets the host with the
    // power-up enquiry (EnqAck when the power-up mode is None).
    void PowerCycle();

    // ---- Fault injection (each takes effect for the next frames processed) ----
    void NakNextFrames(int count);  // answer good frames with NAK and drop them
    // Withhold: no ACK for frames and link tests. `respond`: still answer withheld frames.
    void SetAckMode(AckMode mode, bool respond = false);
    void WithholdNextAcks(int count, bool respond = false);
    void SetAckDelay(int ms);
    void SetResponseDelay(int ms);      // counted from the ACK
    void CorruptNextFrames(int count);  // wrong LRC on the next frames written
    // Write frames in pieces of `chunkSize` bytes with `gapMs` between them (0: whole).
    void SetChunking(size_t chunkSize, int gapMs = 2);
    // Join everything due at the same moment (ACK + response, several frames) in one write.
    void SetCoalesce(bool coalesce);

    // ---- Answer rewriting (for driving the terminal by hand) ----
    // The payload of an answer becomes what `rewrite` returns; nullopt sends nothing.
    using Rewrite = std::function<std::optional<std::string>(const std::string& payload)>;
    // Which answers a rewrite is for, by identifier and payload.
    using AnswerMatch = std::function<bool(const std::string& id, const std::string& payload)>;
    // The next answer whose identifier and payload `match` accepts goes through `rewrite`: a
    // handler's answer and one sent with SendFrameLater alike. Rewrites apply once each, in the
    // order given. With `heldNow`, an answer already held back under a tag (a slow cardholder's) is
    // rewritten and sent at once instead, when there is one. Both functions run under the
    // simulator's lock: they must not call the simulator.
    void RewriteNextAnswer(AnswerMatch match, Rewrite rewrite, bool heldNow = false);

    // ---- Unsolicited output (dropped while the host has the port closed) ----
    void SendRaw(const std::vector<uint8_t>& bytes);  // one write, exactly these bytes
    void SendFrame(const std::string& id, const std::string& payload);  // expects the host's ACK
    void SendEnq();
    // A response sent later without blocking: the frame is written `delayMs` after the moment
    // a handler's answer would be (the ACK of the message being handled plus the response
    // delay; called outside a handler, now plus the response delay). A handler answering this
    // way returns nullopt. A non-empty `tag` lets DropScheduled withdraw the frame until then.
    void SendFrameLater(const std::string& id, const std::string& payload, int delayMs,
                        const std::string& tag = {});
    // Withdraws the frames scheduled under `tag` (not empty) that are not yet written; returns
    // how many.
    int DropScheduled(const std::string& tag);

    // ---- Fault plan: the faults above as one struct ----
    FaultPlan Faults() const;
    void SetFaults(const FaultPlan& plan);
    // Changes the plan in one step under the simulator's lock (`change` must not call it).
    void ChangeFaults(const std::function<void(FaultPlan&)>& change);

    // ---- The terminal model and what it shows ----
    TerminalModel& Terminal() const;
    // The display, input, card slot, link and fault plan as they stand.
    ScreenState Screen() const;
    // `observer` is called whenever the screen, the input, the link or the fault plan changes,
    // on whichever simulator thread made the change, with no simulator lock held; it may call
    // the simulator but should return quickly. Returns an id for RemoveObserver.
    int AddObserver(std::function<void()> observer);
    // After it returns the observer is not called again (unless called from the observer).
    void RemoveObserver(int id);
    // Every frame from and to the host as a trace entry, on the I/O thread, no lock held.
    int AddTraceListener(std::function<void(const TraceEntry&)> listener);
    void RemoveTraceListener(int id);

    // ---- Record ----
    Record Snapshot() const;
    void ClearRecord();
    // Waits until `predicate` holds for the record (evaluated under the simulator's lock: do
    // not call the simulator from it) or `ms` pass; returns whether it held.
    bool WaitFor(const std::function<bool(const Record&)>& predicate, int ms) const;
    bool WaitForFrames(size_t count, int ms) const;
    bool WaitForRaw(const std::function<bool(const std::vector<uint8_t>&)>& predicate,
                    int ms) const;
    bool WaitForHostOpen(int ms) const;
    bool WaitForHandshakes(int count, int ms) const;
    // Good frames with identifier `id` (any case) received since construction; unlike the
    // record, never cleared and kept without recordTraffic.
    uint64_t FramesSeen(const std::string& id) const;
    // A reader channel's requests also count by channel and function, under
    // FrameStepKey(id, channel, function): each step of a smart-card exchange can be waited for.
    // Waits until FramesSeen(id) reaches `count` or `ms` pass; returns whether it did.
    bool WaitForFramesSeen(const std::string& id, uint64_t count, int ms) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orn::sim
