#include "link/usb_hid_port.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "link/sensitive.h"
#include "log/thread_runner.h"

namespace orn {

using platform::Event;
using platform::LockGuard;
using platform::WaitResult;

namespace {
constexpr uint32_t kThreadStopMs = 5000;
}  // namespace

// Everything the threads touch, shared with them so that a thread abandoned after a failed stop
// never reaches a destroyed port.
struct CUsbHidPort::Shared {
    Shared(CLogger& log, IChunkSink* sink) : log(log), sink(sink) {}

    CLogger& log;
    IChunkSink* const sink;
    // Set before the threads start and never replaced.
    std::shared_ptr<platform::HidDevice> device;
    std::atomic<bool> stop{false};
    std::atomic<bool> gone{false};        // the device went away (read side or a write)
    std::atomic<bool> goneQueued{false};  // everything before it was handed to the queue thread
    std::atomic<uint32_t> lastError{0};

    Event kill{true};
    Event trigger{false};                  // the engine waits for an answer
    std::atomic<uint32_t> triggerTick{0};  // when it last said so
    Event staged{false};                   // a report was staged, or the reader ended
    Event ringData{false};

    // Staging buffer: [m_last, m_idx) is staged and not yet handed on.
    platform::RecursiveLock stagingLock;
    std::vector<uint8_t> staging = std::vector<uint8_t>(kStagingSize);
    size_t m_idx = 0;
    size_t m_last = 0;
    uint32_t batchStart = 0;  // tick of the first report of the staged batch
    uint32_t lastReport = 0;  // tick of the last report staged
    bool readerEnded = false;

    // Receive ring: bytes [readAt, writeAt), positions taken modulo its size.
    platform::RecursiveLock ringLock;
    std::vector<uint8_t> ring = std::vector<uint8_t>(kRingSize);
    uint64_t writeAt = 0;
    uint64_t readAt = 0;

    std::mutex writeMutex;           // one frame at a time; Close waits for a write in progress
    std::vector<uint8_t> outReport;  // zeroed once: the filler is what the last report left

    // Stores the data bytes of one input report (staging lock held).
    void Stage(const uint8_t* data, size_t n) {
        const uint32_t now = platform::TickCount();
        if (m_idx == m_last) {
            m_idx = m_last = 0;
            batchStart = now;
        }
        if (m_idx + n > staging.size()) {
            std::memmove(staging.data(), staging.data() + m_last, m_idx - m_last);
            m_idx -= m_last;
            m_last = 0;
        }
        if (m_idx + n > staging.size()) {  // still no room: the oldest bytes give way
            const size_t drop = m_idx + n - staging.size();
            std::memmove(staging.data(), staging.data() + drop, m_idx - drop);
            m_idx -= drop;
        }
        std::memcpy(staging.data() + m_idx, data, n);
        m_idx += n;
        lastReport = now;
    }

    // Hands everything staged to the ring and starts the staging area over (staging lock held).
    void HandOn() {
        {
            LockGuard hold(ringLock);
            for (size_t i = m_last; i < m_idx; ++i) {
                ring[writeAt++ % ring.size()] = staging[i];
                // More than the ring holds and not yet taken: the oldest bytes are lost.
                if (writeAt - readAt > ring.size()) readAt = writeAt - ring.size();
            }
        }
        m_idx = m_last = 0;
        ringData.Set();
    }

    size_t TakeFromRing(uint8_t* buffer, size_t size) {
        LockGuard hold(ringLock);
        const size_t n = static_cast<size_t>(std::min<uint64_t>(writeAt - readAt, size));
        for (size_t i = 0; i < n; ++i) buffer[i] = ring[readAt++ % ring.size()];
        return n;
    }
};

CUsbHidPort::CUsbHidPort(CLogger& log, IChunkSink* sink)
    : m_Log(log), m_pShared(std::make_shared<Shared>(log, sink)) {}

CUsbHidPort::~CUsbHidPort() {
    Close();
}

uint32_t CUsbHidPort::LastError() const {
    return m_pShared->lastError.load();
}

platform::Status CUsbHidPort::Open(const std::string& path) {
    platform::Status error;
    std::string text;
    auto device = platform::HidDevice::Open(path, &error, &text);
    if (!device) {
        m_pShared->lastError = error;
        if (!text.empty()) m_Log.Log(kLogSevere, "%s", text.c_str());
        m_Log.Log(kLogSevere, "Unable to open USB HID device %s (err=%u)%s", path.c_str(),
                  error.Error(), error.Detail().c_str());
        // Every failure is 2250 to the engine; the OS's detail stays for the caller's log.
        return platform::Status(platform::kErrHidOpenFailed, error.OsCode(), error.Operation(),
                                error.Subject());
    }
    return Attach(std::move(device));
}

uint32_t CUsbHidPort::Attach(std::shared_ptr<platform::HidDevice> device) {
    Shared& shared = *m_pShared;
    if (shared.device || !device || !device->IsOpen() || device->OutputReportLength() < 3 ||
        device->InputReportLength() < 3)
        return platform::kErrHidOpenFailed;
    shared.device = std::move(device);
    shared.outReport.assign(shared.device->OutputReportLength(), 0);

    auto shared_ptr = m_pShared;
    bool started = m_QueueThread.Start([shared_ptr] { return QueueThread(shared_ptr); }) == 0;
    if (started)
        m_Log.Log(kLogInfo, "Created USB HID Queue Thead with ID=%08X", m_QueueThread.Id());
    started =
        started && m_ReaderThread.Start([shared_ptr] { return ReaderThread(shared_ptr); }) == 0;
    if (started)
        m_Log.Log(kLogInfo, "HID USB StartComm Listener Thread Started with ID=%08X",
                  m_ReaderThread.Id());
    started = started &&
              m_ReadBufferThread.Start([shared_ptr] { return ReadBufferThread(shared_ptr); }) == 0;
    if (!started) {
        Close();
        return platform::kErrHidOpenFailed;
    }
    return 0;
}

bool CUsbHidPort::IsOpen() const {
    const auto& device = m_pShared->device;
    return device && device->IsOpen();
}

uint32_t CUsbHidPort::ListenerThreadId() const {
    return m_QueueThread.Id();
}

bool CUsbHidPort::DeviceGone() {
    return m_pShared->gone.load();
}

void CUsbHidPort::TriggerRead() {
    m_pShared->triggerTick = platform::TickCount();
    m_pShared->trigger.Set();
}

platform::Status CUsbHidPort::WriteFrame(const uint8_t* data, uint32_t length, uint32_t ms) {
    Shared& shared = *m_pShared;
    std::lock_guard<std::mutex> lock(shared.writeMutex);
    if (!IsOpen()) return platform::kErrInvalidHandle;
    std::vector<uint8_t>& report = shared.outReport;
    const size_t perReport = report.size() - 2;
    const uint32_t start = platform::TickCount();
    for (uint32_t sent = 0; sent < length;) {
        if (shared.stop) return platform::kErrInvalidHandle;
        uint32_t wait = platform::kInfinite;
        if (ms != platform::kInfinite) {
            const uint32_t spent = platform::TickCount() - start;
            if (spent >= ms) return platform::kErrTimeout;
            wait = ms - spent;
        }
        const size_t n = std::min<size_t>(perReport, length - sent);
        report[0] = kReportId;
        report[1] = static_cast<uint8_t>(n);
        std::memcpy(report.data() + 2, data + sent, n);
        const platform::Status err = shared.device->WriteReport(report.data(), report.size(), wait);
        if (err != 0) {
            if (err == platform::kErrDeviceNotConnected) shared.gone = true;
            shared.lastError = err;
            return err;
        }
        sent += static_cast<uint32_t>(n);
    }
    return 0;
}

void CUsbHidPort::Close() {
    Shared& shared = *m_pShared;
    if (!shared.device) return;
    shared.stop = true;
    shared.device->CancelRead();
    shared.kill.Set();
    static const ThreadStopWords readerWords = ThreadStopWords::ForPrefix("USB HID Thread");
    static const ThreadStopWords bufferWords =
        ThreadStopWords::ForPrefix("USB HID Read Buffer Thread");
    static const ThreadStopWords queueWords = ThreadStopWords::ForPrefix("USB HID QueueThread");
    if (m_ReaderThread.Started())
        StopWithTimeout(m_Log, m_ReaderThread, kThreadStopMs, readerWords);
    if (m_ReadBufferThread.Started())
        StopWithTimeout(m_Log, m_ReadBufferThread, kThreadStopMs, bufferWords);
    if (m_QueueThread.Started()) {
        // Closed from inside the sink (a write that found the device gone): the queue thread
        // ends by itself once it returns; it touches nothing but the shared block.
        if (m_QueueThread.Id() == platform::CurrentThreadId())
            m_QueueThread.Abandon();
        else
            StopWithTimeout(m_Log, m_QueueThread, kThreadStopMs, queueWords);
    }
    std::lock_guard<std::mutex> lock(shared.writeMutex);
    shared.device->Close();
}

uint32_t CUsbHidPort::ReaderThread(std::shared_ptr<Shared> shared) {
    Shared& s = *shared;
    std::vector<uint8_t> report(std::max<size_t>(s.device->InputReportLength(), 64));
    while (!s.stop) {
        size_t got = 0;
        const platform::Status err = s.device->ReadReport(report.data(), report.size(), &got);
        if (s.stop) break;
        if (err != 0) {
            // Nothing more will come from this device: the link is gone with it.
            s.lastError = err;
            s.gone = true;
            s.log.Log(kLogSevere, "USB HID Read Error: %u%s", err.Error(), err.Detail().c_str());
            LockGuard hold(s.stagingLock);
            s.readerEnded = true;
            s.staged.Set();
            return err;
        }
        if (got < 2) continue;  // a cancelled wait, or an empty report
        const size_t n = std::min<size_t>(report[1], got - 2);
        if (n == 0) continue;
        LockGuard hold(s.stagingLock);
        s.Stage(report.data() + 2, n);
        s.staged.Set();
    }
    return 0;
}

uint32_t CUsbHidPort::ReadBufferThread(std::shared_ptr<Shared> shared) {
    Shared& s = *shared;
    bool triggered = false;
    uint32_t triggeredAt = 0;
    for (;;) {
        uint32_t timeout = platform::kInfinite;
        {
            LockGuard hold(s.stagingLock);
            if (s.m_idx > s.m_last && !triggered) {
                const uint32_t age = platform::TickCount() - s.batchStart;
                timeout = age >= kBatchMs ? 0 : kBatchMs - age;
            }
        }
        Event* events[] = {&s.kill, &s.trigger, &s.staged};
        size_t index = 0;
        const WaitResult result = platform::WaitForAny(events, 3, timeout, &index);
        if (result == WaitResult::Signalled && index == 0) break;
        if (result == WaitResult::Signalled && index == 1) {
            triggered = true;
            triggeredAt = s.triggerTick.load();
        }
        if (result != WaitResult::Signalled && result != WaitResult::Timeout) break;

        LockGuard hold(s.stagingLock);
        if (s.m_idx > s.m_last) {
            const uint32_t now = platform::TickCount();
            // A trigger that found nothing staged stands for the answer the engine awaits, which
            // comes soon after it. One that came after that answer had gone on (the engine
            // cannot tell) would otherwise cut the next unrelated batch at its first report.
            if (triggered && static_cast<int32_t>(s.batchStart - triggeredAt) >
                                 static_cast<int32_t>(kTriggerHoldMs))
                triggered = false;
            bool handOn = s.readerEnded;
            if (triggered) {
                s.log.Log(kLogInfo, "ReadBufferThread: WAIT_OBJECT_0: m_last = %ld, m_idx = %ld",
                          static_cast<long>(s.m_last), static_cast<long>(s.m_idx));
                handOn = true;
            } else if (now - s.batchStart >= kBatchMs) {
                // A batch that filled its reports exactly may be a frame still coming.
                if ((s.m_idx - s.m_last) % kHoldBackUnit == 0 && now - s.lastReport < kHoldBackMs) {
                    s.batchStart = now;
                } else {
                    s.log.Log(kLogInfo, "ReadBufferThread: WAIT_TIMEOUT: m_last = %ld, m_idx = %ld",
                              static_cast<long>(s.m_last), static_cast<long>(s.m_idx));
                    handOn = true;
                }
            }
            if (handOn) {
                s.HandOn();
                triggered = false;
            }
        }
        if (s.readerEnded && s.m_idx == s.m_last) {
            s.goneQueued = true;
            s.ringData.Set();
            break;
        }
    }
    return 0;
}

uint32_t CUsbHidPort::QueueThread(std::shared_ptr<Shared> shared) {
    Shared& s = *shared;
    uint8_t chunk[kDeliverChunk];
    for (;;) {
        Event* events[] = {&s.kill, &s.ringData};
        size_t index = 0;
        if (platform::WaitForAny(events, 2, platform::kInfinite, &index) != WaitResult::Signalled ||
            index == 0)
            break;
        while (size_t n = s.TakeFromRing(chunk, sizeof chunk)) {
            if (s.log.GetLevel() == kLogDetail) {
                // Masked as the serial dumps are: a raw chunk may hold any part of a frame.
                static const char kHex[] = "0123456789ABCDEF";
                const bool clear = LogSensitiveData();
                std::string text = "USB HID Recv(" + std::to_string(n) + "): ";
                text.reserve(text.size() + 3 * n);
                for (size_t i = 0; i < n; ++i) {
                    const bool shown = clear || chunk[i] < 0x20;
                    text += shown ? kHex[chunk[i] >> 4] : '*';
                    text += shown ? kHex[chunk[i] & 0x0F] : '*';
                    text += ' ';
                }
                s.log.Log(kLogInfo, "%s", text.c_str());
            }
            if (s.sink) s.sink->Receive(chunk, static_cast<uint32_t>(n));
            if (s.stop) break;
        }
        if (s.goneQueued && !s.stop) {
            if (s.sink) s.sink->OnDeviceGone();
            break;
        }
    }
    return 0;
}

}  // namespace orn
