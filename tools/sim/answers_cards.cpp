// Default answers for the card readers ("F0." channels 4 and 7, "67.") and the EMV applications
// ("F1."), with the card terminal's state and the hooks of answers_cards.h.
#include "answers_cards.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "answers.h"
#include "sim.h"
#include "terminal.h"

namespace orn::sim {

namespace {

using Answer = std::optional<std::string>;

constexpr uint8_t kChannelMsr = 4;
constexpr uint8_t kChannelSmartCard = 7;

// Reader functions.
constexpr uint8_t kWaitInsertion = 0x04;
constexpr uint8_t kPowerUp = 0x05;
constexpr uint8_t kWaitAndPowerUp = 0x07;
constexpr uint8_t kCompareAtr = 0x08;
constexpr uint8_t kPowerOff = 0x0A;
constexpr uint8_t kWaitRemoval = 0x0B;
constexpr uint8_t kPowerOffAndWaitRemoval = 0x0C;
constexpr uint8_t kExchange = 0x0D;
constexpr uint8_t kCancel = 0x12;
constexpr uint8_t kStatus = 0x18;

// Reader statuses of this terminal.
constexpr uint8_t kOk = 0x00;
constexpr uint8_t kNoCard = 0x01;  // also: the time limit passed
constexpr uint8_t kNotPowered = 0x02;
constexpr uint8_t kUnknownFunction = 0x10;
constexpr uint8_t kStatusCardPresent = 0x05;
constexpr uint8_t kStatusNoCard = 0xFF;
// A wait shorter than this many 10 ms units ends before anything could happen.
constexpr uint16_t kShortWait = 100;

// The EMV messages the terminal sends: names in 12 bytes, and a data message's length field
// counting 28 bytes beside the data.
constexpr size_t kNameLength = 12;
constexpr size_t kDataHeaderLength = 28;
constexpr uint8_t kFirstPushSequence = 128;

std::string Byte(unsigned value) {
    return std::string(1, static_cast<char>(value & 0xFF));
}

std::string BigEndian16(size_t value) {
    return Byte(static_cast<unsigned>(value >> 8)) + Byte(static_cast<unsigned>(value));
}

// Reader answer: length of what follows, channel, then `rest` (status byte first).
std::string ReaderMessage(uint8_t channel, const std::string& rest) {
    return BigEndian16(1 + rest.size()) + Byte(channel) + rest;
}

// A smart-card data block: its length byte (0xFF and two bytes from 255 on), then the data.
std::string DataBlock(const std::string& data) {
    if (data.size() < 0xFF) return Byte(static_cast<unsigned>(data.size())) + data;
    return Byte(0xFF) + BigEndian16(data.size()) + data;
}

std::string PaddedName(const std::string& name) {
    std::string field = name.substr(0, kNameLength);
    field.resize(kNameLength, '\0');
    return field;
}

bool WantsTrack1(int tracks) {
    return tracks == 1 || tracks == 3;
}
bool WantsTrack2(int tracks) {
    return tracks == 2 || tracks == 3;
}

// A small card: SELECT answers a file control information, GET CHALLENGE eight bytes; anything
// else "instruction not supported". The reader's leading bytes are zero.
std::string DefaultApdu(const std::string& command) {
    const std::string leading(3, '\0');
    const uint8_t ins = command.size() > 1 ? static_cast<uint8_t>(command[1]) : 0;
    if (ins == 0xA4)
        return leading + std::string("\x6F\x08\x84\x06\xA0\x00\x00\x00\x03\x10\x90\x00", 12);
    if (ins == 0x84) return leading + std::string("\x1F\x2E\x3D\x4C\x5B\x6A\x79\x88\x90\x00", 10);
    return leading + std::string("\x6D\x00", 2);
}

const char kDefaultAtr[] =
    "\x3B\x6E\x00\x00\x80\x31\x80\x66\xB0\x84\x12\x01\x6E\x01\x83\x00\x90\x00";

}  // namespace

// The card readers and EMV applications of one terminal (kept in its model).
struct CardTerminal {
    std::mutex mu;
    TerminalModel* model = nullptr;
    // Magnetic stripe.
    SwipeCard card = DefaultSwipeCard();
    bool autoSwipe = true;
    std::vector<int> waitingBinarySwipes;   // track selections
    std::vector<int> waitingDisplaySwipes;  // track selections
    // Smart card.
    bool inserted = false;
    bool powered = false;
    uint8_t cardType = 0x01;
    std::string atr = std::string(kDefaultAtr, sizeof kDefaultAtr - 1);
    ApduHandler apdu = DefaultApdu;
    std::vector<std::string> apduCommands;
    std::vector<uint8_t> waitingCardFunctions;
    // EMV.
    std::deque<EmvAck> acks;
    std::map<uint8_t, uint8_t> answerStatus;
    uint8_t pushSequence = kFirstPushSequence;
    std::vector<uint8_t> hostAcks;
    std::map<std::string, std::vector<std::string>> hostData;
    std::set<std::string> sessions;

    void ResetLocked() {
        card = DefaultSwipeCard();
        autoSwipe = true;
        waitingBinarySwipes.clear();
        waitingDisplaySwipes.clear();
        inserted = powered = false;
        cardType = 0x01;
        atr = std::string(kDefaultAtr, sizeof kDefaultAtr - 1);
        apdu = DefaultApdu;
        apduCommands.clear();
        waitingCardFunctions.clear();
        acks.clear();
        answerStatus.clear();
        pushSequence = kFirstPushSequence;
        hostAcks.clear();
        hostData.clear();
        sessions.clear();
    }

    // ---- answers built under mu ----

    std::string BinarySwipeLocked(int tracks) const {
        auto block = [](uint8_t status, const std::string& data) {
            const std::string cut = data.substr(0, 0xFF);
            return Byte(status) + Byte(static_cast<unsigned>(cut.size())) + cut;
        };
        std::string blocks;
        // The second track comes first when both are read.
        if (WantsTrack2(tracks)) blocks += block(card.track2Status, card.track2);
        if (WantsTrack1(tracks)) blocks += block(card.track1Status, card.track1);
        return ReaderMessage(kChannelMsr, blocks);
    }

    std::string DisplaySwipeLocked(int tracks) const {
        auto field = [](bool wanted, const std::string& data) {
            const std::string text = wanted ? data.substr(0, 99) : std::string();
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02zu", text.size());
            return digits + text;
        };
        return "00" + field(WantsTrack2(tracks), card.track2) +
               field(WantsTrack1(tracks), card.track1);
    }

    std::string PowerUpLocked() {
        powered = true;
        return ReaderMessage(kChannelSmartCard, Byte(kOk) + DataBlock(Byte(cardType) + atr));
    }

    // The answer a card event gives a waiting function, or nullopt when it still waits.
    Answer CardEventLocked(uint8_t function) {
        switch (function) {
            case kWaitInsertion:
                if (inserted) return ReaderMessage(kChannelSmartCard, Byte(kOk));
                break;
            case kWaitAndPowerUp:
                if (inserted) return PowerUpLocked();
                break;
            case kWaitRemoval:
            case kPowerOffAndWaitRemoval:
                if (!inserted) return ReaderMessage(kChannelSmartCard, Byte(kOk));
                break;
            default:
                break;
        }
        return std::nullopt;
    }

    // Answers every waiting function the current card state ends.
    std::vector<std::string> TakeCardEventsLocked() {
        std::vector<std::string> answers;
        std::vector<uint8_t> still;
        for (uint8_t function : waitingCardFunctions) {
            if (Answer answer = CardEventLocked(function))
                answers.push_back(*answer);
            else
                still.push_back(function);
        }
        waitingCardFunctions.swap(still);
        return answers;
    }
};

namespace {

CardTerminal& Cards(TerminalModel& model) {
    CardTerminal& t = model.Part<CardTerminal>();
    std::lock_guard<std::mutex> lock(t.mu);
    t.model = &model;
    return t;
}

CardTerminal& Cards(TerminalSimulator& sim) {
    return Cards(sim.Terminal());
}

// Shows the card slot and what the readers wait for in the terminal model.
void Publish(CardTerminal& t) {
    CardSlotView view;
    bool swipeWaits, cardWaits;
    const char* waitingId;
    TerminalModel* model;
    {
        std::lock_guard<std::mutex> lock(t.mu);
        view.chipInserted = t.inserted;
        view.chipPowered = t.powered;
        view.swipeWaiting = !t.autoSwipe;
        view.openEmvSessions.assign(t.sessions.begin(), t.sessions.end());
        swipeWaits = !t.waitingBinarySwipes.empty() || !t.waitingDisplaySwipes.empty();
        cardWaits = !t.waitingCardFunctions.empty();
        waitingId = t.waitingDisplaySwipes.empty() ? "F0." : "67.";
        model = t.model;
    }
    if (!model) return;
    model->SetCardSlot(view);
    if (swipeWaits || cardWaits) {
        model->BeginInput(InputKind::Card, waitingId);
    } else {
        model->EndInput("F0.");
        model->EndInput("67.");
    }
}

// ---- "F0." -------------------------------------------------------------------------------

Answer AnswerMsrChannel(CardTerminal& t, uint8_t function) {
    std::lock_guard<std::mutex> lock(t.mu);
    if (function == kCancel) {
        t.waitingBinarySwipes.clear();
        return ReaderMessage(kChannelMsr, Byte(kOk));
    }
    if (function < 1 || function > 3) return ReaderMessage(kChannelMsr, Byte(kUnknownFunction));
    if (t.autoSwipe) return t.BinarySwipeLocked(function);
    t.waitingBinarySwipes.push_back(function);
    return std::nullopt;
}

Answer AnswerSmartCardChannel(CardTerminal& t, uint8_t function, uint32_t timeLimit,
                              const std::string& command) {
    std::unique_lock<std::mutex> lock(t.mu);
    auto status = [](uint8_t value) { return ReaderMessage(kChannelSmartCard, Byte(value)); };
    switch (function) {
        case kWaitInsertion:
        case kWaitAndPowerUp:
        case kWaitRemoval:
        case kPowerOffAndWaitRemoval: {
            if (function == kPowerOffAndWaitRemoval) t.powered = false;
            if (Answer answer = t.CardEventLocked(function)) return answer;
            if (timeLimit > 0 && timeLimit < kShortWait) return status(kNoCard);
            t.waitingCardFunctions.push_back(function);
            return std::nullopt;
        }
        case kPowerUp:
            return t.inserted ? t.PowerUpLocked() : status(kNoCard);
        case kCompareAtr:
            if (!t.inserted) return status(kNoCard);
            return ReaderMessage(kChannelSmartCard, Byte(kOk) + DataBlock(Byte(t.cardType)));
        case kPowerOff:
            t.powered = false;
            return status(kOk);
        case kExchange: {
            if (!t.inserted) return status(kNoCard);
            if (!t.powered) return status(kNotPowered);
            t.apduCommands.push_back(command);
            ApduHandler handler = t.apdu;
            lock.unlock();  // the handler is the test's code
            const std::string answer = handler ? handler(command) : std::string(3, '\0');
            return ReaderMessage(kChannelSmartCard, Byte(kOk) + DataBlock(answer));
        }
        case kCancel:
            t.waitingCardFunctions.clear();
            return status(kOk);
        case kStatus:
            return status(t.inserted ? kStatusCardPresent : kStatusNoCard);
        default:
            return status(kUnknownFunction);
    }
}

Answer AnswerReaderChannel(CardTerminal& t, const Request& request) {
    const RequestFields r(request);
    if (!r.Text("function").empty()) {
        const uint32_t channel = r.Number("channel");
        const auto function = static_cast<uint8_t>(r.Number("function"));
        if (channel == kChannelMsr) return AnswerMsrChannel(t, function);
        if (channel == kChannelSmartCard) {
            const std::string command = r.Text("command").substr(0, r.Number("command length"));
            return AnswerSmartCardChannel(t, function, r.Number("time limit"), command);
        }
    }
    return AnswerApplicationUpdate(request);
}

// ---- "67." -------------------------------------------------------------------------------

Answer AnswerDisplaySwipe(CardTerminal& t, const Request& request) {
    const int tracks = RequestFields(request).Char("tracks") - '0';
    if (tracks < 1 || tracks > 3) return std::string("1");
    std::lock_guard<std::mutex> lock(t.mu);
    if (t.autoSwipe) return t.DisplaySwipeLocked(tracks);
    t.waitingDisplaySwipes.push_back(tracks);
    return std::nullopt;
}

// ---- "F1." -------------------------------------------------------------------------------

Answer AnswerEmvChannel(CardTerminal& t, const Request& request) {
    const RequestFields r(request);
    if (r.Text("seq").empty()) return std::nullopt;
    const auto type = static_cast<uint8_t>(r.Number("type"));
    const auto sequence = static_cast<uint8_t>(r.Number("seq"));
    std::lock_guard<std::mutex> lock(t.mu);
    switch (type) {
        case 1:
        case 2:
        case 3:
        case 16: {
            const std::string app = r.Text("app");
            const uint8_t status = t.answerStatus.count(type) ? t.answerStatus[type] : 0;
            if (type == 2 && status == 0) {
                t.sessions.insert(app);
                t.pushSequence = kFirstPushSequence;
            }
            if (type == 3) t.sessions.erase(app);
            std::string rest = Byte(type) + Byte(sequence) + Byte(status);
            // The version answer: names, then the version characters at 30..33.
            if (type == 1)
                rest += Byte(0) + PaddedName(app) + PaddedName("TERMINAL") + std::string("0102");
            return BigEndian16(rest.size()) + rest;
        }
        case 4: {
            const uint32_t announced = r.Number("length");
            const size_t dataLength =
                announced > kDataHeaderLength ? announced - kDataHeaderLength : 0;
            t.hostData[r.Text("app")].push_back(r.Text("data").substr(0, dataLength));
            EmvAck ack;
            if (!t.acks.empty()) {
                ack = t.acks.front();
                t.acks.pop_front();
            }
            if (ack.withhold) return std::nullopt;
            const uint8_t number = ack.sequence ? *ack.sequence : sequence;
            if (ack.type == 6)
                return std::string("\x00\x03\x06", 3) + Byte(number) + Byte(ack.status);
            return std::string("\x00\x02", 2) + Byte(ack.type) + Byte(number);
        }
        case 5:
            t.hostAcks.push_back(sequence);
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

// A handler of the card terminal that shows what the readers do once it has answered.
template <Answer (*kAnswer)(CardTerminal&, const Request&)>
TerminalSimulator::Handler CardHandler(CardTerminal& t) {
    return [&t](const Request& request) {
        Answer answer = kAnswer(t, request);
        Publish(t);
        return answer;
    };
}

}  // namespace

void InstallCardsAnswers(TerminalSimulator& sim) {
    CardTerminal& t = Cards(sim);
    sim.SetHandler("F0.", CardHandler<AnswerReaderChannel>(t));
    sim.SetHandler("67.", CardHandler<AnswerDisplaySwipe>(t));
    sim.SetHandler("F1.", CardHandler<AnswerEmvChannel>(t));
    // The "50." cancel also ends the display-driven swipe the terminal is waiting for; its
    // answer stays whoever's it was.
    TerminalSimulator::Handler previous = sim.GetHandler("50.");
    sim.SetHandler("50.", [previous, &t](const Request& request) -> Answer {
        {
            std::lock_guard<std::mutex> lock(t.mu);
            t.waitingDisplaySwipes.clear();
        }
        Publish(t);
        return previous ? previous(request) : Answer("0");
    });
}

// ---- hooks ---------------------------------------------------------------------------------

SwipeCard DefaultSwipeCard() {
    SwipeCard card;
    card.track1 = "B4111111111111111^SIMULATOR/TEST CARD^3012101000000000000000";
    card.track2 = "4111111111111111=3012101123456789";
    return card;
}

void SetSwipeCard(TerminalModel& terminal, const SwipeCard& card) {
    CardTerminal& t = Cards(terminal);
    std::lock_guard<std::mutex> lock(t.mu);
    t.card = card;
}

void SetSwipeCard(const SwipeCard& card) {
    SetSwipeCard(*CurrentTerminal(), card);
}

void SetAutoSwipe(TerminalModel& terminal, bool automatic) {
    CardTerminal& t = Cards(terminal);
    {
        std::lock_guard<std::mutex> lock(t.mu);
        t.autoSwipe = automatic;
    }
    Publish(t);
}

void SetAutoSwipe(bool automatic) {
    SetAutoSwipe(*CurrentTerminal(), automatic);
}

void SetChipCard(TerminalModel& terminal, const ChipCard& card) {
    CardTerminal& t = Cards(terminal);
    std::lock_guard<std::mutex> lock(t.mu);
    t.cardType = card.type;
    t.atr = card.atr.empty() ? std::string(kDefaultAtr, sizeof kDefaultAtr - 1) : card.atr;
    t.apdu = card.answer ? card.answer : ApduHandler(DefaultApdu);
}

int Swipe(TerminalSimulator& sim) {
    CardTerminal& t = Cards(sim);
    std::vector<std::pair<std::string, std::string>> frames;
    {
        std::lock_guard<std::mutex> lock(t.mu);
        for (int tracks : t.waitingBinarySwipes)
            frames.emplace_back("F0.", t.BinarySwipeLocked(tracks));
        for (int tracks : t.waitingDisplaySwipes)
            frames.emplace_back("67.", t.DisplaySwipeLocked(tracks));
        t.waitingBinarySwipes.clear();
        t.waitingDisplaySwipes.clear();
    }
    Publish(t);
    for (const auto& frame : frames) sim.SendFrame(frame.first, frame.second);
    return static_cast<int>(frames.size());
}

void InsertCard(TerminalSimulator& sim) {
    CardTerminal& t = Cards(sim);
    std::vector<std::string> answers;
    {
        std::lock_guard<std::mutex> lock(t.mu);
        t.inserted = true;
        t.powered = false;
        answers = t.TakeCardEventsLocked();
    }
    Publish(t);
    for (const std::string& answer : answers) sim.SendFrame("F0.", answer);
}

void RemoveCard(TerminalSimulator& sim) {
    CardTerminal& t = Cards(sim);
    std::vector<std::string> answers;
    {
        std::lock_guard<std::mutex> lock(t.mu);
        t.inserted = false;
        t.powered = false;
        answers = t.TakeCardEventsLocked();
    }
    Publish(t);
    for (const std::string& answer : answers) sim.SendFrame("F0.", answer);
}

bool CardInserted(TerminalModel& terminal) {
    CardTerminal& t = Cards(terminal);
    std::lock_guard<std::mutex> lock(t.mu);
    return t.inserted;
}

bool CardInserted() {
    return CardInserted(*CurrentTerminal());
}

void SetCardAtr(TerminalModel& terminal, uint8_t type, const std::string& atr) {
    CardTerminal& t = Cards(terminal);
    std::lock_guard<std::mutex> lock(t.mu);
    t.cardType = type;
    t.atr = atr;
}

void SetCardAtr(uint8_t type, const std::string& atr) {
    SetCardAtr(*CurrentTerminal(), type, atr);
}

void SetApduHandler(TerminalModel& terminal, ApduHandler handler) {
    CardTerminal& t = Cards(terminal);
    std::lock_guard<std::mutex> lock(t.mu);
    t.apdu = handler ? std::move(handler) : ApduHandler(DefaultApdu);
}

void SetApduHandler(ApduHandler handler) {
    SetApduHandler(*CurrentTerminal(), std::move(handler));
}

std::vector<std::string> ApduCommands(TerminalModel& terminal) {
    CardTerminal& t = Cards(terminal);
    std::lock_guard<std::mutex> lock(t.mu);
    return t.apduCommands;
}

std::vector<std::string> ApduCommands() {
    return ApduCommands(*CurrentTerminal());
}

void QueueEmvAck(TerminalModel& terminal, const EmvAck& ack) {
    CardTerminal& t = Cards(terminal);
    std::lock_guard<std::mutex> lock(t.mu);
    t.acks.push_back(ack);
}

void QueueEmvAck(const EmvAck& ack) {
    QueueEmvAck(*CurrentTerminal(), ack);
}

void SetEmvAnswerStatus(TerminalModel& terminal, uint8_t type, uint8_t status) {
    CardTerminal& t = Cards(terminal);
    std::lock_guard<std::mutex> lock(t.mu);
    t.answerStatus[type] = status;
}

void SetEmvAnswerStatus(uint8_t type, uint8_t status) {
    SetEmvAnswerStatus(*CurrentTerminal(), type, status);
}

uint8_t PushEmvData(TerminalSimulator& sim, const std::string& appName, const std::string& data,
                    uint8_t subType, std::optional<uint8_t> sequence) {
    CardTerminal& t = Cards(sim);
    uint8_t number;
    {
        std::lock_guard<std::mutex> lock(t.mu);
        number = sequence ? *sequence : t.pushSequence++;
        if (subType == 4) t.sessions.erase(appName);
    }
    const std::string message = BigEndian16(kDataHeaderLength + data.size()) + Byte(4) +
                                Byte(number) + Byte(subType) + Byte(0) + PaddedName(appName) +
                                std::string(kNameLength, '\0') + data;
    sim.SendFrame("F1.", message);
    return number;
}

std::vector<uint8_t> EmvAcksFromHost(TerminalModel& terminal) {
    CardTerminal& t = Cards(terminal);
    std::lock_guard<std::mutex> lock(t.mu);
    return t.hostAcks;
}

std::vector<uint8_t> EmvAcksFromHost() {
    return EmvAcksFromHost(*CurrentTerminal());
}

std::vector<std::string> EmvDataFromHost(TerminalModel& terminal, const std::string& appName) {
    CardTerminal& t = Cards(terminal);
    std::lock_guard<std::mutex> lock(t.mu);
    auto it = t.hostData.find(appName);
    return it == t.hostData.end() ? std::vector<std::string>() : it->second;
}

std::vector<std::string> EmvDataFromHost(const std::string& appName) {
    return EmvDataFromHost(*CurrentTerminal(), appName);
}

std::vector<std::string> OpenEmvSessions(TerminalModel& terminal) {
    CardTerminal& t = Cards(terminal);
    std::lock_guard<std::mutex> lock(t.mu);
    return {t.sessions.begin(), t.sessions.end()};
}

std::vector<std::string> OpenEmvSessions() {
    return OpenEmvSessions(*CurrentTerminal());
}

void ResetCardTerminal(TerminalModel& terminal) {
    CardTerminal& t = Cards(terminal);
    {
        std::lock_guard<std::mutex> lock(t.mu);
        t.ResetLocked();
    }
    Publish(t);
}

void ResetCardTerminal() {
    ResetCardTerminal(*CurrentTerminal());
}

}  // namespace orn::sim
