// Magnetic stripe commands: the binary swipe on the reader channel (channel code 4), its cancel,
// the display-driven swipe ("67.") and the combined command that waits for a swipe or a smart
// card, whichever comes first, and ends the other.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "api/command.h"
#include "api/reader_channel.h"
#include "api/session.h"
#include "api/text.h"
#include "engine/wait_outcome.h"
#include "velquoraorn.h"

using namespace orn;

namespace {

// Display-driven swipe prompt lines: 16 columns, encoded into at most 32 bytes.
constexpr unsigned kPromptColumns = 16;
constexpr unsigned kPromptEncodedSize = 33;
constexpr int kMaxTimeoutSec = 99;
// Records of the combined swipe-or-insert command are named after it.
constexpr const char* kCombinedPrefix = "ornMsrScInsertWithDisplay";

bool IsTrackSelection(int tracks) {
    return tracks >= 1 && tracks <= 3;
}
bool WantsTrack1(int tracks) {
    return tracks == 1 || tracks == 3;
}
bool WantsTrack2(int tracks) {
    return tracks == 2 || tracks == 3;
}
bool AreSwipeOptions(int timeoutSec, int option0, int option1, int option2) {
    return timeoutSec >= 0 && timeoutSec <= kMaxTimeoutSec && option0 >= 0 && option0 <= 1 &&
           option1 >= 0 && option1 <= 4 && option2 >= 0 && option2 <= 4;
}

// How missing prompt lines before a given later line are sent.
enum class EmptyFields {
    // Line 3 without line 2 gets one empty field before it; line 4 gets one for a missing
    // line 3 and, when line 2 is missing too, another.
    ForEveryMissingLine,
    // Only line 3 without line 2 gets an empty field; line 4 follows what was sent.
    BeforeLine3Only,
};

// Appends one prompt line and its field separator; false when it is not valid display text.
bool AppendPromptLine(std::string& payload, const char* line) {
    char encoded[kPromptEncodedSize];
    EncodeDisplayText(encoded, line, sizeof encoded);
    if (!IsValidDisplayText(encoded)) return false;
    payload += PadDisplayText(encoded, kPromptColumns);
    payload += catalogue::kFieldSeparator;
    return true;
}

// The arguments of the display-driven swipe exports that make up the prompt.
#define SWIPE_PROMPT_PARAMS                                                               \
    int tracks, int timeoutSec, int option0, int option1, int option2, const char *line1, \
        const char *line2, const char *line3, const char *line4
#define SWIPE_PROMPT_ARGS tracks, timeoutSec, option0, option1, option2, line1, line2, line3, line4

// The "67." request: selection, timeout, the three options and the prompt lines. False when a
// line is rejected (the payload is then incomplete and must not be sent).
bool SwipePrompt(std::string& payload, SWIPE_PROMPT_PARAMS, EmptyFields empty) {
    char head[16];
    std::snprintf(head, sizeof head, "%d%02d%d%d%d", tracks % 10, timeoutSec % 100, option0 % 10,
                  option1 % 10, option2 % 10);
    payload = head;
    if (!line1 || !AppendPromptLine(payload, line1)) return false;
    if (line2 && !AppendPromptLine(payload, line2)) return false;
    if (line3) {
        if (!line2) payload += catalogue::kFieldSeparator;
        if (!AppendPromptLine(payload, line3)) return false;
    }
    if (line4) {
        if (empty == EmptyFields::ForEveryMissingLine && !line3) {
            payload += catalogue::kFieldSeparator;
            if (!line2) payload += catalogue::kFieldSeparator;
        }
        if (!AppendPromptLine(payload, line4)) return false;
    }
    return true;
}

// A display-driven swipe record: group DISPLAY, cancel type "50".
Command SwipeCommand(const char* name, const std::string& prompt, int timeoutSec) {
    Command command(name, catalogue::kDisplaySwipe);
    command.ResponseTimeout(timeoutSec > 0 ? static_cast<uint32_t>(timeoutSec) * 1000 : 0)
        .Payload(prompt);
    return command;
}

// The tracks of a status-0 display-driven swipe answer. A null buffer is skipped.
void ParseSwipeText(const Response& reply, char* track1, char* track2, char* sourceChar) {
    const catalogue::SwipeAnswer swipe = catalogue::ReadSwipe(reply.Text());
    if (sourceChar) *sourceChar = swipe.source;
    if (swipe.source != ORN_SWIPE_SOURCE_STRIPE) return;
    CopyOut(track2, ORN_TRACK2_TEXT_SIZE, swipe.track2, "Track 2");
    CopyOut(track1, ORN_TRACK1_TEXT_SIZE, swipe.track1, "Track 1");
    if (swipe.unreadable)
        reply.Warn("Warning, expected response of 67.00LLtrack2LLtrack1: bad %s length",
                   swipe.unreadable);
}

// The binary swipe of `tracks` (1..3, the function byte), waiting up to timeoutMs.
Command BinarySwipe(int tracks, int timeoutMs) {
    Command command = ReaderWait("msr", kReaderChannelMsr, static_cast<uint8_t>(tracks), timeoutMs);
    command.Require(IsTrackSelection(tracks));
    return command;
}

// The result of a display-driven swipe answer: the status digit, and on status 0 the source
// character and the tracks; the source character is '0' whenever the swipe failed.
int SwipeOutcome(int result, const Response& reply, char* track1, char* track2, char* sourceChar) {
    if (sourceChar) *sourceChar = ORN_SWIPE_SOURCE_STRIPE;
    if (result != 0) return result;
    const int status = reply.Status();
    if (status == 0) ParseSwipeText(reply, track1, track2, sourceChar);
    return status;
}

struct TrackOutputs {
    int* status;
    int* length;
    char* data;
};

// A binary swipe answer: for tracks 1 the first-track block; for tracks 2 or 3 the second-track
// block first and, for 3, the first-track block after it. Only the bytes that arrived are taken.
int ParseBinarySwipe(const Response& reply, int tracks, TrackOutputs track1, TrackOutputs track2) {
    const int status = ReaderStatus(reply);
    if (status < 0) return status;
    const catalogue::ReaderSwipe swipe = catalogue::ReadReaderSwipe(reply.Text(), tracks == 3);
    auto copy = [&](const catalogue::ReaderTrack& track, const TrackOutputs& out) {
        if (track.data.size() < track.declared)
            reply.Warn("Track data of %zu bytes announced, %zu received", track.declared,
                       track.data.size());
        if (out.status) *out.status = track.status;
        if (out.data) track.data.copy(out.data, track.data.size());
        if (out.length) *out.length = static_cast<int>(track.data.size());
    };
    copy(swipe.first, tracks == 1 ? track1 : track2);
    if (swipe.blocks > 1) copy(swipe.second, track1);
    return status;
}

// The combined swipe-or-card command keeps its state in the engine (CombinedWait); the
// completion routines decide under its lock and act after leaving it.

// The smart-card insertion wait of the combined command: no time limit, no response timeout,
// and matched by any reader answer.
Command CombinedSmartCardWait(const char* name) {
    Command command =
        ReaderCommand(name, kReaderChannelSmartCard, 0, catalogue::kCardWaitInsertion);
    command.ResponseSelector(0).ResponseTimeout(0);
    return command;
}

// Completion of the smart-card wait of ornMsrScInsertWithDisplayReq.
void CombinedSmartCardCompleted(int status) {
    CombinedWait::Callback callback;
    bool swipeQueued = false;
    const bool superseded = Engine().WithCombinedWait([&](CombinedWait& combined) {
        if (combined.swipeDone && status == ORN_ERR_CANCELED_BY_USER_ERROR) return true;
        combined.smartCardDone = true;
        callback = combined.callback;
        swipeQueued = combined.swipeQueued;
        return false;
    });
    if (superseded) return;
    // Ends the swipe; with a card already in the reader no swipe was sent.
    if (swipeQueued) ornCancel();
    char track1[ORN_TRACK1_TEXT_SIZE] = "";
    char track2[ORN_TRACK2_TEXT_SIZE] = "";
    if (callback)
        callback(status, track1, track2,
                 status == 0 ? ORN_SWIPE_SOURCE_SMART_CARD : ORN_SWIPE_SOURCE_STRIPE);
}

// Completion of the swipe of ornMsrScInsertWithDisplayReq.
void CombinedSwipeCompleted(int status, char* track1, char* track2, char source) {
    CombinedWait::Callback callback;
    const bool superseded = Engine().WithCombinedWait([&](CombinedWait& combined) {
        if (combined.smartCardDone && status == ORN_ERR_CANCELED_BY_USER_ERROR) return true;
        combined.swipeDone = true;
        callback = combined.callback;
        return false;
    });
    if (superseded) return;
    ornSmartCardCancel();
    if (callback) callback(status, track1, track2, source);
}

// Completion of the smart-card wait of ornMsrScInsertWithDisplayWait.
void CombinedWaitSmartCardCompleted(int status) {
    std::shared_ptr<platform::Event> event;
    const bool superseded = Engine().WithCombinedWait([&](CombinedWait& combined) {
        event = combined.event;
        if (combined.swipeDone && status == ORN_ERR_CANCELED_BY_USER_ERROR) {
            if (event) event->Set();
            return true;
        }
        combined.smartCardStatus = status;
        combined.smartCardDone = true;
        return false;
    });
    if (superseded) return;
    ornCancel();  // completes the pending swipe with -5
    if (event) event->Set();
}

// The blocking form's end of its smart-card wait: marks the swipe done, cancels the wait and
// lets its completion routine finish.
void EndCombinedSmartCardWait(const std::shared_ptr<platform::Event>& event) {
    Engine().WithCombinedWait([](CombinedWait& combined) { combined.swipeDone = true; });
    ornSmartCardCancel();
    static const WaitLines lines = {{},
                                    {},
                                    {kLogSevere, "MSR/SC Event Wait Abandoned"},
                                    {kLogSevere, "MSR/SC Event Wait Failed"},
                                    {kLogSevere, "MSR/SC Event Wait Defaulted"}};
    LogWaitResult(Engine().Logger(), event->Wait(5000), lines);
}

}  // namespace

extern "C" {

ORN_API int ornSwipeMagStripeCardReq(int tracks, int timeoutMs, ornMsrCallback callback) {
    return BinarySwipe(tracks, timeoutMs)
        .Require(callback != nullptr)
        .CallbackOption(tracks)
        .RunAsync(kCallbackMsr, callback);
}

ORN_API int ornSwipeMagStripeCardWait(int tracks, int timeoutMs, int* track1Status,
                                      int* track1Length, char* track1Data, int* track2Status,
                                      int* track2Length, char* track2Data) {
    const TrackOutputs track1{track1Status, track1Length, track1Data};
    const TrackOutputs track2{track2Status, track2Length, track2Data};
    return BinarySwipe(tracks, timeoutMs)
        .Require(!WantsTrack1(tracks) || (track1Data && track1Status && track1Length))
        .Require(!WantsTrack2(tracks) || (track2Data && track2Status && track2Length))
        .Finish([=](int result, const Response& reply) {
            for (int* output : {track1Status, track1Length, track2Status, track2Length})
                if (output) *output = 0;
            if (result != 0) return result;
            return ParseBinarySwipe(reply, tracks, track1, track2);
        })
        .Run();
}

ORN_API int ornCancelMsrCommand(void) {
    return ReaderCancel("msrCancel", kReaderChannelMsr).Run();
}

ORN_API int ornMsrWithDisplayHandlingReq(SWIPE_PROMPT_PARAMS, ornMsrDisplayCallback callback) {
    std::string prompt;
    const bool linesOk = SwipePrompt(prompt, SWIPE_PROMPT_ARGS, EmptyFields::ForEveryMissingLine);
    return SwipeCommand("ornMsrWithDisplayHandlingReq", prompt, timeoutSec)
        .Require(IsTrackSelection(tracks) && AreSwipeOptions(timeoutSec, option0, option1, option2))
        .Require(callback && line1)
        .Require(linesOk)
        .RunAsync(kCallbackMsrDisplay, callback);
}

ORN_API int ornMsrWithDisplayHandlingWait(SWIPE_PROMPT_PARAMS, char* track1, char* track2,
                                          char* sourceChar) {
    std::string prompt;
    const bool linesOk = SwipePrompt(prompt, SWIPE_PROMPT_ARGS, EmptyFields::BeforeLine3Only);
    return SwipeCommand("ornMsrWithDisplayHandlingWait", prompt, timeoutSec)
        .Require(IsTrackSelection(tracks))
        .Require(!WantsTrack1(tracks) || track1)
        .Require(!WantsTrack2(tracks) || track2)
        .Require(AreSwipeOptions(timeoutSec, option0, option1, option2))
        .Require(option0 != 1 || sourceChar)
        .Require(line1 != nullptr)
        .Step([=] {
            if (track1) track1[0] = '\0';
            if (track2) track2[0] = '\0';
        })
        .Require(linesOk)
        .Finish([=](int result, const Response& reply) {
            return SwipeOutcome(result, reply, track1, track2, sourceChar);
        })
        .Run();
}

ORN_API int ornMsrScInsertWithDisplayReq(SWIPE_PROMPT_PARAMS, ornMsrDisplayCallback callback) {
    // The prompt is checked with the arguments, so a rejected line sends nothing at all.
    std::string prompt;
    const bool linesOk = SwipePrompt(prompt, SWIPE_PROMPT_ARGS, EmptyFields::BeforeLine3Only);
    int result = Command("ornMsrScInsertWithDisplayReq", catalogue::kDisplaySwipe)
                     .Test([] {
                         return Engine().HasQueuedRecordNamed(kCombinedPrefix)
                                    ? ORN_ERR_DEVICE_IS_BUSY_ERROR
                                    : 0;
                     })
                     .Require(IsTrackSelection(tracks))
                     .Require(AreSwipeOptions(timeoutSec, option0, option1, option2))
                     .Require(callback && line1)
                     .Require(linesOk)
                     .Check();
    if (result != 0) return result;

    const bool cardPresent = ornIsCardPresent() == 1;
    Engine().WithCombinedWait([&](CombinedWait& combined) {
        combined.callback = callback;
        combined.smartCardDone = false;
        combined.swipeDone = false;
        combined.swipeQueued = !cardPresent;
    });
    result = CombinedSmartCardWait("ornMsrScInsertWithDisplayReq_SC")
                 .RunAsync(kCallbackSmartCard, &CombinedSmartCardCompleted);
    if (result != 0 || cardPresent) return result;

    result = SwipeCommand("ornMsrScInsertWithDisplayReq_MSR", prompt, timeoutSec)
                 .RunAsync(kCallbackMsrDisplay, &CombinedSwipeCompleted);
    if (result != 0) {
        // No swipe will report: the smart-card wait is ended without a callback either.
        Engine().WithCombinedWait([](CombinedWait& combined) { combined.swipeDone = true; });
        ornSmartCardCancel();
    }
    return result;
}

ORN_API int ornMsrScInsertWithDisplayWait(SWIPE_PROMPT_PARAMS, char* track1, char* track2,
                                          char* sourceChar) {
    std::string prompt;
    const bool linesOk = SwipePrompt(prompt, SWIPE_PROMPT_ARGS, EmptyFields::BeforeLine3Only);
    int result = Command("ornMsrScInsertWithDisplayWait", catalogue::kDisplaySwipe)
                     .Require(IsTrackSelection(tracks))
                     .Require(!WantsTrack1(tracks) || track1)
                     .Step([=] {
                         if (track1) track1[0] = '\0';
                         if (track2) track2[0] = '\0';
                     })
                     .Require(!WantsTrack2(tracks) || track2)
                     .Require(AreSwipeOptions(timeoutSec, option0, option1, option2))
                     .Require(sourceChar && line1)
                     .Require(linesOk)
                     .Check();
    if (result != 0) return result;

    auto event = std::make_shared<platform::Event>(false);
    Engine().WithCombinedWait([&](CombinedWait& combined) {
        combined.smartCardDone = false;
        combined.swipeDone = false;
        combined.smartCardStatus = 0;
        combined.event = event;
    });
    auto closeEvent = [] {
        Engine().WithCombinedWait([](CombinedWait& combined) { combined.event.reset(); });
    };
    result = CombinedSmartCardWait("ornMsrScInsertWithDisplayWait_SC")
                 .RunAsync(kCallbackSmartCard, &CombinedWaitSmartCardCompleted);
    if (result != 0) {
        closeEvent();
        return result;
    }

    int swipeResult = 0;
    result = SwipeCommand("ornMsrScInsertWithDisplayWait_MSR", prompt, timeoutSec)
                 .Finish([&](int exchange, const Response& reply) {
                     swipeResult = exchange;
                     return SwipeOutcome(exchange, reply, track1, track2, sourceChar);
                 })
                 .Run();

    bool smartCardDone = false;
    int smartCardStatus = 0;
    Engine().WithCombinedWait([&](const CombinedWait& combined) {
        smartCardDone = combined.smartCardDone;
        smartCardStatus = combined.smartCardStatus;
    });
    if (swipeResult == ORN_ERR_CANCELED_BY_USER_ERROR && smartCardDone) {
        // The card came first and its routine cancelled the swipe.
        result = smartCardStatus;
        if (smartCardStatus == 0) *sourceChar = ORN_SWIPE_SOURCE_SMART_CARD;
    } else if (swipeResult == 0 || !smartCardDone) {
        // The swipe answered, or failed on its own: the card wait must not outlive the call
        // (a card arriving later would cancel whatever the application runs then).
        EndCombinedSmartCardWait(event);
    }
    closeEvent();
    return result;
}

}  // extern "C"
