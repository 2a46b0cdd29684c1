#include "sim_session.h"

#include "answers.h"
#include "seed_recorder.h"
#include "velquoraorn.h"

namespace orn::test {

SimSession::SimSession(orn::sim::Options options) {
    log_ = dir_.File("session.log");
    if (!options.answers) options.answers = orn::sim::InstallDefaultAnswers;
    options.linkDir = ports_.path();
    options.portName = "COM7";
    sim_ = std::make_unique<orn::sim::TerminalSimulator>(options);
}

SimSession::SimSession(orn::sim::Options options, HidTerminal hid) : portName_("USBHID") {
    log_ = dir_.File("session.log");
    if (!options.answers) options.answers = orn::sim::InstallDefaultAnswers;
    tree_ = std::make_unique<orn::sim::FakeDeviceTree>(dir_.path());
    sysfsEnv_ = std::make_unique<ScopedEnv>("ORN_SYSFS_ROOT", tree_->sysfs().c_str());
    devEnv_ = std::make_unique<ScopedEnv>("ORN_DEV_ROOT", tree_->dev().c_str());
    options.hidPath =
        tree_->AddHidDevice(0, 0x0E7D, hid.productId, orn::sim::LinkReportDescriptor(32, 32));
    sim_ = std::make_unique<orn::sim::TerminalSimulator>(options);
}

SimSession::~SimSession() {
    Close();
}

int SimSession::Open(int level) {
    return OpenAs(portName_.c_str(), level);
}

int SimSession::OpenAs(const char* portName, int level) {
    int result = ornInit(portName, log_.c_str(), level);
    open_ = true;
    if (result == 0) {
        // Let the handshake's cancel answer ("50.0") pass before a test looks at traffic.
        sim_->WaitFor([](const orn::sim::Record& r) { return r.handshakes > 0; }, 5000);
        WaitUntil([] { return ornPing() == 0; }, 5000);
    }
    sim_->ClearRecord();
    return result;
}

void SimSession::Close() {
    if (open_) ornClose();
    if (open_) RecordFuzzSeeds(sim_->Snapshot());
    open_ = false;
}

std::string SimSession::CloseAndReadLog() {
    Close();
    return ReadTextFile(LogFile());
}

std::vector<std::string> SimSession::Payloads(const std::string& id) {
    std::vector<std::string> payloads;
    for (const auto& frame : sim_->Snapshot().frames)
        if (frame.id == id) payloads.push_back(frame.payload);
    return payloads;
}

bool SimSession::WaitForPayloads(const std::string& id, size_t count, int ms) {
    return sim_->WaitFor(
        [&](const orn::sim::Record& r) {
            size_t n = 0;
            for (const auto& frame : r.frames) n += frame.id == id;
            return n >= count;
        },
        ms);
}

bool SimSession::NothingSent(bool anyByte) {
    const orn::sim::Record record = sim_->Snapshot();
    return record.frames.empty() && (!anyByte || record.rx.empty());
}

void SimSession::Answer(const std::string& id, std::optional<std::string> answer) {
    sim_->SetHandler(id, [answer](const orn::sim::Request&) { return answer; });
}

}  // namespace orn::test
