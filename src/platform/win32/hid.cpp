// USB HID terminals on Win32. The HID service library is needed only to read a device's report
// lengths at open; the reports themselves travel by overlapped ReadFile and WriteFile, on two
// handles of the device, one for each direction, so that ending the reader's wait never
// touches a write in progress.
//
// Closing follows the serial device's care: the pending read is cancelled (CancelIoEx) before
// the handles are closed, so no thread is left on I/O that a close abandoned.
#include <windows.h>
// After windows.h, which it needs.
#include <hidsdi.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/errors.h"
#include "platform/win32/hid.h"
#include "platform/win32/service_library.h"

namespace orn::platform {

namespace {

using GetPreparsedDataFn = decltype(&::HidD_GetPreparsedData);
using FreePreparsedDataFn = decltype(&::HidD_FreePreparsedData);
using GetCapsFn = decltype(&::HidP_GetCaps);
using InitializeReportFn = decltype(&::HidP_InitializeReportForID);
using SetNumInputBuffersFn = decltype(&::HidD_SetNumInputBuffers);

// The terminal's link travels in report 2.
constexpr UCHAR kLinkReportId = 2;

using CancelIoExFn = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED);

// CancelIoEx exists from Vista on; the reader cancels its own read without it.
CancelIoExFn CancelIoExFunction() {
    static const CancelIoExFn fn = reinterpret_cast<CancelIoExFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "CancelIoEx")));
    return fn;
}

HANDLE OpenDevice(const std::string& path, DWORD access) {
    return ::CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

uint32_t MapOpenError(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return kErrNotFound;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return kErrAccessDenied;
        default:
            return error;
    }
}

// Errors that mean the device (or the pipe standing in for it) is no longer there.
uint32_t MapIoError(DWORD error) {
    switch (error) {
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
        case ERROR_PIPE_NOT_CONNECTED:
            return kErrDeviceNotConnected;
        default:
            return error;
    }
}

// The failure of the CreateFile just made on `path`.
Status OpenFailure(const std::string& path) {
    const DWORD error = ::GetLastError();
    return Status(MapOpenError(error), error, "CreateFile", path);
}

Status IoError(const char* operation, DWORD error) {
    return Status(MapIoError(error), error, operation);
}

class Win32HidDevice final : public HidDevice {
  public:
    // `reader` and `writer` may be the same handle.
    Win32HidDevice(HANDLE reader, HANDLE writer, uint32_t inputLength, uint32_t outputLength)
        : reader_(reader),
          writer_(writer),
          input_(inputLength),
          output_(outputLength),
          readEvent_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          writeEvent_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          cancelEvent_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

    ~Win32HidDevice() override {
        Close();
        for (HANDLE h : {readEvent_, writeEvent_, cancelEvent_}) {
            if (h != nullptr) ::CloseHandle(h);
        }
    }

    bool Ready() const {
        return readEvent_ != nullptr && writeEvent_ != nullptr && cancelEvent_ != nullptr;
    }

    uint32_t InputReportLength() const override { return static_cast<uint32_t>(input_.size()); }
    uint32_t OutputReportLength() const override { return static_cast<uint32_t>(output_.size()); }

    Status ReadReport(void* buffer, size_t length, size_t* got) override {
        *got = 0;
        HANDLE h = reader_.load(std::memory_order_acquire);
        if (h == nullptr) return kErrInvalidHandle;
        std::lock_guard<std::mutex> lock(readMutex_);
        if (TakeCancel()) return kErrNone;
        OVERLAPPED ov{};
        ::ResetEvent(readEvent_);
        ov.hEvent = readEvent_;
        // The class driver takes only reads of the full input report length.
        if (!::ReadFile(h, input_.data(), static_cast<DWORD>(input_.size()), nullptr, &ov)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_IO_PENDING) return IoError("ReadFile", error);
            HANDLE both[2] = {readEvent_, cancelEvent_};
            const DWORD which = ::WaitForMultipleObjects(2, both, FALSE, INFINITE);
            const DWORD waitError = which == WAIT_FAILED ? ::GetLastError() : 0;
            // Our cancel or a failed wait: the read ends before `ov` and the buffer go.
            if (which != WAIT_OBJECT_0) ::CancelIo(h);
            if (which == WAIT_FAILED) {
                DWORD ignored = 0;
                ::GetOverlappedResult(h, &ov, &ignored, TRUE);
                return win32::Failure("WaitForMultipleObjects", waitError);
            }
        }
        DWORD n = 0;
        if (!::GetOverlappedResult(h, &ov, &n, TRUE)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_OPERATION_ABORTED && TakeCancel()) return kErrNone;
            return IoError("ReadFile", error);
        }
        // A report that completed as the cancel came is delivered; the cancel then ends the
        // next read at once.
        *got = std::min<size_t>(n, length);
        std::memcpy(buffer, input_.data(), *got);
        return kErrNone;
    }

    void CancelRead() override {
        std::lock_guard<std::mutex> lock(closeMutex_);
        if (cancelEvent_ != nullptr) ::SetEvent(cancelEvent_);
    }

    Status WriteReport(const void* report, size_t length, uint32_t ms) override {
        HANDLE h = writer_.load(std::memory_order_acquire);
        if (h == nullptr) return kErrInvalidHandle;
        if (length > output_.size()) return kErrInvalidParameter;
        std::lock_guard<std::mutex> lock(writeMutex_);
        // The class driver takes only writes of the full output report length.
        std::memcpy(output_.data(), report, length);
        std::memset(output_.data() + length, 0, output_.size() - length);
        OVERLAPPED ov{};
        ::ResetEvent(writeEvent_);
        ov.hEvent = writeEvent_;
        if (!::WriteFile(h, output_.data(), static_cast<DWORD>(output_.size()), nullptr, &ov)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_IO_PENDING) return IoError("WriteFile", error);
        }
        bool timedOut = false;
        if (ms != kInfinite && ::WaitForSingleObject(writeEvent_, ms) == WAIT_TIMEOUT) {
            timedOut = true;
            ::CancelIo(h);
        }
        DWORD n = 0;
        if (::GetOverlappedResult(h, &ov, &n, TRUE)) return kErrNone;  // it went, late or not
        const DWORD error = ::GetLastError();
        return timedOut ? Status(kErrTimeout) : IoError("WriteFile", error);
    }

    bool IsOpen() const override {
        return reader_.load(std::memory_order_acquire) != nullptr &&
               writer_.load(std::memory_order_acquire) != nullptr;
    }

    void Close() override {
        std::lock_guard<std::mutex> lock(closeMutex_);
        HANDLE reader = reader_.exchange(nullptr, std::memory_order_acq_rel);
        HANDLE writer = writer_.exchange(nullptr, std::memory_order_acq_rel);
        if (cancelEvent_ != nullptr) ::SetEvent(cancelEvent_);
        CancelIoExFn cancelIoEx = CancelIoExFunction();
        for (HANDLE h : {reader, writer == reader ? nullptr : writer}) {
            if (h == nullptr) continue;
            if (cancelIoEx != nullptr) cancelIoEx(h, nullptr);
            ::CloseHandle(h);
        }
    }

  private:
    bool TakeCancel() {
        if (::WaitForSingleObject(cancelEvent_, 0) != WAIT_OBJECT_0) return false;
        ::ResetEvent(cancelEvent_);
        return true;
    }

    std::atomic<HANDLE> reader_;
    std::atomic<HANDLE> writer_;
    std::vector<uint8_t> input_;   // the reader's own
    std::vector<uint8_t> output_;  // under writeMutex_
    HANDLE readEvent_;
    HANDLE writeEvent_;
    HANDLE cancelEvent_;
    std::mutex readMutex_;
    std::mutex writeMutex_;
    std::mutex closeMutex_;  // keeps CancelRead off the cancel event while Close sets it
};

// Raises the class driver's input report queue of the reader's handle from its default of 32:
// a 4 KB answer comes in some 140 reports, and a reader that is late loses the oldest.
void RaiseInputBuffers(HANDLE reader) {
    win32::ServiceLibrary hid("HID.DLL");
    auto setNumInputBuffers = hid.Find<SetNumInputBuffersFn>("HidD_SetNumInputBuffers");
    // Without it (or refused) the default queue still works, only with less room.
    if (setNumInputBuffers != nullptr) setNumInputBuffers(reader, win32::kHidInputBuffers);
}

}  // namespace

namespace win32 {

uint32_t ReadLinkReports(HANDLE device, uint32_t* inputLength, uint32_t* outputLength,
                         std::string* errorText) {
    win32::ServiceLibrary hid("HID.DLL");
    auto getPreparsedData = hid.Find<GetPreparsedDataFn>("HidD_GetPreparsedData");
    auto getCaps = hid.Find<GetCapsFn>("HidP_GetCaps");
    auto freePreparsedData = hid.Find<FreePreparsedDataFn>("HidD_FreePreparsedData");
    auto initializeReport = hid.Find<InitializeReportFn>("HidP_InitializeReportForID");
    if (getPreparsedData == nullptr || getCaps == nullptr) {
        *errorText = "Unable to find HID.DLL function HidD_GetPreparsedData";
        return kErrHidOpenFailed;
    }
    if (freePreparsedData == nullptr) {
        *errorText = "Unable to find HID.DLL function HidD_FreePreparsedData";
        return kErrHidOpenFailed;
    }
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!getPreparsedData(device, &preparsed)) return kErrHidOpenFailed;
    HIDP_CAPS caps{};
    bool link = getCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
    // The link needs room for the identifier, the length byte and at least one data byte.
    link = link && caps.InputReportByteLength >= 3 && caps.OutputReportByteLength >= 3;
    // A terminal with several top-level collections (a keypad or a card reader besides the
    // link) shows each as a device of its own; the link's is the one with output report 2.
    // Where the function is missing, the first lengths found are taken as before.
    if (link && initializeReport != nullptr) {
        std::vector<char> report(caps.OutputReportByteLength);
        link = initializeReport(HidP_Output, kLinkReportId, preparsed, report.data(),
                                static_cast<ULONG>(report.size())) == HIDP_STATUS_SUCCESS;
    }
    freePreparsedData(preparsed);
    if (!link) return kErrHidOpenFailed;
    *inputLength = caps.InputReportByteLength;
    *outputLength = caps.OutputReportByteLength;
    return kErrNone;
}

}  // namespace win32

std::shared_ptr<HidDevice> HidDevice::Open(const std::string& path, Status* error,
                                           std::string* errorText) {
    Status ignoredError;
    std::string ignoredText;
    if (error == nullptr) error = &ignoredError;
    if (errorText == nullptr) errorText = &ignoredText;
    *error = kErrNone;
    errorText->clear();

    HANDLE probe = OpenDevice(path, GENERIC_READ | GENERIC_WRITE);
    if (probe == INVALID_HANDLE_VALUE) {
        *error = OpenFailure(path);
        return nullptr;
    }
    uint32_t inputLength = 0, outputLength = 0;
    *error = win32::ReadLinkReports(probe, &inputLength, &outputLength, errorText);
    ::CloseHandle(probe);
    if (*error != kErrNone) return nullptr;

    HANDLE reader = OpenDevice(path, GENERIC_READ);
    if (reader == INVALID_HANDLE_VALUE) {
        *error = OpenFailure(path);
        return nullptr;
    }
    HANDLE writer = OpenDevice(path, GENERIC_WRITE);
    if (writer == INVALID_HANDLE_VALUE) {
        *error = OpenFailure(path);
        ::CloseHandle(reader);
        return nullptr;
    }
    RaiseInputBuffers(reader);
    auto device = std::make_shared<Win32HidDevice>(reader, writer, inputLength, outputLength);
    if (!device->Ready()) {
        *error = kErrGenFailure;
        return nullptr;
    }
    return device;
}

std::shared_ptr<HidDevice> HidDevice::FromNative(intptr_t native, uint32_t inputReportLength,
                                                 uint32_t outputReportLength) {
    HANDLE h = reinterpret_cast<HANDLE>(native);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    auto device = std::make_shared<Win32HidDevice>(h, h, inputReportLength, outputReportLength);
    return device->Ready() ? device : nullptr;
}

}  // namespace orn::platform
