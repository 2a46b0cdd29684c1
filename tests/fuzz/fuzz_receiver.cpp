// The frame receiver fed any sequence of chunks, with the engine behind it: a fresh receiver per
// input, on either link width and in either enquiry mode, whose ACKs, NAKs, power-ups, responses
// and EMV messages go to the started engine (no transport: what it writes goes nowhere). An EMV
// session is kept open so that incoming EMV data reaches a session callback. Built on threads
// and on the simulated platform (fuzz_support.h).
#include <memory>

#include "engine/generic_handler.h"
#include "fuzz_support.h"
#include "link/receiver.h"

using namespace orn;

namespace {

constexpr const char* kSession = "FUZZAPP1";

// The engine as the receiver sees it, with the link width and the enquiry mode of the input.
class EngineBehind : public ILinkEngine {
  public:
    EngineBehind(int width, bool quickCancel) : m_nWidth(width), m_bQuickCancel(quickCancel) {}
    CLogger& Logger() override { return Engine().Logger(); }
    bool EngineStarted() override { return true; }
    int DataWidth() override { return m_nWidth; }
    bool QuickCancelMode() override { return m_bQuickCancel; }
    void SetPowerUpSeen() override { Engine().SetPowerUpSeen(); }
    void SetStrayCancelExpected() override { Engine().SetStrayCancelExpected(); }
    int32_t GetConnectionState() override { return Engine().GetConnectionState(); }
    void SetConnectionState(int32_t state) override { Engine().SetConnectionState(state); }
    int32_t& EnquiryCount() override { return m_nEnquiries; }
    uint32_t Write(const uint8_t* data, uint32_t length) override {
        return Engine().Write(data, length);
    }
    void SendRawCancel() override { Engine().SendRawCancel(); }
    void OnAck() override { Engine().OnAck(); }
    void OnNak() override { Engine().OnNak(); }
    void OnPowerUp() override { Engine().OnPowerUp(); }
    void OnLinkCheckAnswered() override { Engine().OnLinkCheckAnswered(); }
    // A good frame shorter than an identifier is handed on too; the engine ignores it.
    void ProcessResponse(const uint8_t* message, uint32_t length) override {
        fuzz::Check(length <= CLinkReceiver::kMaxStored, "response length");
        Engine().ProcessResponse(message, length);
    }
    void EmvAsyncReceiveHandler(const uint8_t* message, uint32_t length) override {
        fuzz::Check(length >= 3 && length <= CLinkReceiver::kMaxStored, "EMV message length");
        Engine().EmvAsyncReceiveHandler(message, length);
    }

  private:
    int m_nWidth;
    bool m_bQuickCancel;
    int32_t m_nEnquiries = 0;
};

void OnSessionData(int, const unsigned char*, int) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::WithEngine(fuzz::Schedule(data, size), [data, size] {
        // A power-up in an earlier input closed the session.
        if (!Engine().FindEmvSession(kSession)) Engine().AddEmvSession(kSession, OnSessionData);
        fuzz::Input in(data, size);
        const uint8_t flags = in.Byte();
        EngineBehind engine((flags & 1) ? 8 : 7, (flags & 2) != 0);
        auto receiver = std::make_unique<CLinkReceiver>(engine);
        while (in.Left() > 0) {
            const uint8_t count = in.Byte();
            if (count == 0) {
                fuzz::Check(receiver->Receive(nullptr, CLinkReceiver::kResetCount) == 0, "reset");
                continue;
            }
            const std::string chunk = in.Take(count);
            const int stored = receiver->Receive(reinterpret_cast<const uint8_t*>(chunk.data()),
                                                 static_cast<uint32_t>(chunk.size()));
            fuzz::Check(stored == -1 || (stored >= 0 && stored <= int(CLinkReceiver::kMaxStored)),
                        "stored length");
        }
    });
    return 0;
}
