// The simulator driven by hand: each command, through the control socket and through a script,
// seen where an application sees it (the library's results); the console through the built
// ornsim with a pipe for standard input.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "answers.h"
#include "answers_cards.h"
#include "commands.h"
#include "sim.h"
#include "sim_session.h"
#include "test_support.h"
#include "velquoraorn.h"

extern char** environ;

namespace {

using orn::test::SimSession;
using orn::test::WaitUntil;
using Clock = std::chrono::steady_clock;

constexpr const char* kAccount = "4000001234567899";
constexpr const char* kKey32 = "0123456789ABCDEFFEDCBA9876543210";

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string ToHex(const std::string& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    return out;
}

// The PIN field inside an ISO format 0 block enciphered under two-key triple DES.
std::string PinField(const std::string& pinBlockHex, const std::string& keyHex,
                     const std::string& account) {
    const std::string key = FromHex(keyHex), block = FromHex(pinBlockHex);
    std::string clear(8, '\0');
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    EVP_DecryptInit_ex(ctx, EVP_des_ede_ecb(), nullptr,
                       reinterpret_cast<const unsigned char*>(key.data()), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char*>(&clear[0]), &n,
                      reinterpret_cast<const unsigned char*>(block.data()), 8);
    EVP_CIPHER_CTX_free(ctx);
    const std::string pan = FromHex("0000" + account.substr(account.size() - 13, 12));
    for (size_t i = 0; i < 8; ++i) clear[i] = static_cast<char>(clear[i] ^ pan[i]);
    return ToHex(clear);
}

std::atomic<int> g_powerUps{0};
void ORN_CALL OnPowerUp() {
    ++g_powerUps;
}

// A stream socket connected to a control port on this host, with a small receive buffer when
// asked (-1 when it could not connect).
int ConnectControl(int port, int receiveBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    ::close(fd);
    return -1;
}

// A line sent and its reply read on a control connection.
class ControlClient {
  public:
    explicit ControlClient(int port) : fd_(ConnectControl(port)) {
        timeval limit{20, 0};  // a server that never answers fails the test instead of hanging it
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~ControlClient() { ::close(fd_); }
    std::string Send(const std::string& line) {
        const std::string out = line + "\n";
        if (fd_ < 0 || ::send(fd_, out.data(), out.size(), MSG_NOSIGNAL) < 0) return "dead";
        std::string reply;
        char c;
        while (::recv(fd_, &c, 1, 0) == 1 && c != '\n') reply.push_back(c);
        return reply;
    }

  private:
    int fd_;
};

enum class Source { Socket, Script };

class SimDrive : public ::testing::Test {
  protected:
    void SetUp() override {
        ornSetPowerUpCallback(OnPowerUp);
        ASSERT_EQ(session.Open(), 0);
        ASSERT_TRUE(server.Start(0));
        client = std::make_unique<ControlClient>(server.port());
    }
    void TearDown() override { ornSetPowerUpCallback(nullptr); }

    // Runs `line` through `source`; the script reports its first error as NAME:LINE: error.
    std::string Run(Source source, const std::string& line) {
        if (source == Source::Socket) return client->Send(line);
        std::string error;
        orn::sim::CommandRunner runner(session.sim(), true);
        std::istringstream script("# one command\n" + line + "\n");
        orn::sim::RunScript(runner, script, "t", [&](const std::string& e) { error = e; });
        return error.empty() ? "ok" : error;
    }

    SimSession session;
    orn::sim::ControlServer server{session.sim(), nullptr};
    std::unique_ptr<ControlClient> client;
};

// A command line and what the application sees of it; `run` runs the line (so a case can set
// things up first).
struct DriveCase {
    const char* line;
    std::function<void(SimSession&, const std::function<void()>& run)> check;
};

int BeepMs(int* result) {
    const auto start = Clock::now();
    *result = ornBeep(1);
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

size_t FramesWithId(SimSession& s, const std::string& id) {
    size_t n = 0;
    for (const auto& frame : s.sim().Snapshot().frames) n += frame.id == id;
    return n;
}

const DriveCase kCases[] = {
    {"swipe 5413330089010012=2512101 B5413330089010012^DRIVER/TEST CARD^2512101",
     [](SimSession&, const std::function<void()>& run) {
         run();
         int s1, l1 = 0, s2, l2 = 0;
         char t1[255], t2[255];
         ASSERT_EQ(ornSwipeMagStripeCardWait(3, 0, &s1, &l1, t1, &s2, &l2, t2), 0);
         EXPECT_EQ(std::string(t2, static_cast<size_t>(l2)), "5413330089010012=2512101");
         EXPECT_EQ(std::string(t1, static_cast<size_t>(l1)),
                   "B5413330089010012^DRIVER/TEST CARD^2512101");
     }},
    {"insert",
     [](SimSession&, const std::function<void()>& run) {
         EXPECT_EQ(ornSmartCardStatus(), 0xFF);
         run();
         EXPECT_EQ(ornSmartCardStatus(), 0x05);
     }},
    {"remove",
     [](SimSession& s, const std::function<void()>& run) {
         orn::sim::InsertCard(s.sim());
         run();
         EXPECT_EQ(ornSmartCardStatus(), 0xFF);
     }},
    {"keys 4711",
     [](SimSession&, const std::function<void()>& run) {
         run();
         int length = 0;
         char text[33] = {};
         ASSERT_EQ(ornDisplayAndWaitForInputWait(2, 1, 0, "Amount", 255, &length, text), 0);
         EXPECT_STREQ(text, "4711");
     }},
    {"pin 4321",
     [](SimSession&, const std::function<void()>& run) {
         run();
         char block[17] = {};
         const std::string check = orn::sim::KeyCheckValue(kKey32);
         ASSERT_EQ(ornMasterSessionPinEntryWait(0, 0, 0, 0, kAccount, kKey32, check.c_str(),
                                                nullptr, block),
                   0);
         EXPECT_EQ(PinField(block, kKey32, kAccount), "044321FFFFFFFFFF");
         ASSERT_EQ(ornMasterSessionPinEntryWait(0, 0, 0, 0, kAccount, kKey32, check.c_str(),
                                                nullptr, block),
                   0);
         EXPECT_EQ(PinField(block, kKey32, kAccount), "041234FFFFFFFFFF");  // once only
     }},
    {"select 3",
     [](SimSession&, const std::function<void()>& run) {
         run();
         char list[64] = {};
         for (const char* item : {"Tea", "Coffee", "Water"})
             ornAddListItem(list, item, sizeof list);
         int selection = 0, data = 0;
         ASSERT_EQ(
             ornScrollListWait(0, 1, 1, 0, 0, 0, 1, "Drink", "", "", "", list, &selection, &data),
             0);
         EXPECT_EQ(selection, 3);
     }},
    {"fkey 4",
     [](SimSession&, const std::function<void()>& run) {
         run();
         char key = 0;
         ASSERT_EQ(ornFunctionKeyPromptWait("Press a key", nullptr, nullptr, nullptr, &key), 0);
         EXPECT_EQ(key, '4');
     }},
    {"cancel",
     [](SimSession&, const std::function<void()>& run) {
         run();
         // A plain display is no prompt: the cancel waits for the prompt.
         EXPECT_EQ(ornDisplay("Hello", nullptr, nullptr, nullptr), 0);
         char key = 0;
         EXPECT_EQ(ornFunctionKeyPromptWait("Press a key", nullptr, nullptr, nullptr, &key),
                   orn::sim::kCardholderCancelStatus - '0');
     }},
    {"no-answer",
     [](SimSession&, const std::function<void()>& run) {
         run();
         EXPECT_EQ(ornClearDisplay(), ORN_ERR_API_TIMEOUT);
         EXPECT_EQ(ornClearDisplay(), 0);
     }},
    {"status 3 5B.",
     [](SimSession&, const std::function<void()>& run) {
         run();
         EXPECT_EQ(ornClearDisplay(), 0);  // not a beep
         EXPECT_EQ(ornBeep(1), 3);
         EXPECT_EQ(ornBeep(1), 0);
     }},
    {"power-cycle",
     [](SimSession&, const std::function<void()>& run) {
         const int before = g_powerUps;
         run();
         EXPECT_TRUE(WaitUntil([&] { return g_powerUps > before; }, 10000));
         EXPECT_EQ(ornBeep(1), 0);
     }},
    {"unplug",
     [](SimSession&, const std::function<void()>& run) {
         run();
         EXPECT_TRUE(WaitUntil([] { return ornBeep(1) != 0; }, 20000));
     }},
    {"replug",
     [](SimSession& s, const std::function<void()>& run) {
         s.sim().Unplug();
         ornClose();
         EXPECT_NE(ornInit("COM7", nullptr, 0), 0);
         run();
         ASSERT_EQ(ornInit("COM7", nullptr, 0), 0);
         EXPECT_EQ(ornBeep(1), 0);
     }},
    {"nak 2",
     [](SimSession& s, const std::function<void()>& run) {
         run();
         EXPECT_EQ(ornBeep(1), 0);
         EXPECT_EQ(FramesWithId(s, "5B."), 3u);  // sent again after each NAK
     }},
    {"drop-ack",
     [](SimSession& s, const std::function<void()>& run) {
         run();
         EXPECT_EQ(ornBeep(1), 0);  // the answer stands for the lost ACK
         EXPECT_EQ(s.sim().Snapshot().frames.at(0).reply, orn::sim::Reply::None);
     }},
    {"delay-ack 400",
     [](SimSession& s, const std::function<void()>& run) {
         run();
         int result;
         EXPECT_GE(BeepMs(&result), 400);
         EXPECT_EQ(result, 0);
         EXPECT_EQ(FramesWithId(s, "5B."), 1u);
     }},
    {"delay-answer 400",
     [](SimSession&, const std::function<void()>& run) {
         run();
         int result;
         EXPECT_GE(BeepMs(&result), 400);
         EXPECT_EQ(result, 0);
     }},
    {"bad-lrc",
     [](SimSession& s, const std::function<void()>& run) {
         run();
         EXPECT_EQ(ornBeep(1), 0);
         const orn::sim::Record record = s.sim().Snapshot();
         EXPECT_EQ(record.hostNaks, 1);  // the host refused the answer and got it again
         EXPECT_EQ(record.resends, 1);
     }},
    {"ack-mode withhold",
     [](SimSession& s, const std::function<void()>& run) {
         run();
         EXPECT_EQ(ornBeep(1), ORN_ERR_NO_ACK_ERROR);
         EXPECT_EQ(FramesWithId(s, "5B."), 3u);  // every transmission, not only the next
     }},
};

void PrintTo(const DriveCase& c, std::ostream* out) {
    *out << c.line;
}

class EachCommand : public SimDrive,
                    public ::testing::WithParamInterface<std::tuple<Source, DriveCase>> {};

TEST_P(EachCommand, ReachesTheApplication) {
    const Source source = std::get<0>(GetParam());
    const DriveCase& c = std::get<1>(GetParam());
    c.check(session, [&] {
        const std::string reply = Run(source, c.line);
        ASSERT_EQ(reply.compare(0, 2, "ok"), 0) << c.line << ": " << reply;
    });
}

INSTANTIATE_TEST_SUITE_P(Commands, EachCommand,
                         ::testing::Combine(::testing::Values(Source::Socket, Source::Script),
                                            ::testing::ValuesIn(kCases)),
                         [](const ::testing::TestParamInfo<EachCommand::ParamType>& info) {
                             std::string name = std::get<1>(info.param).line;
                             name = name.substr(0, name.find(' '));
                             for (char& ch : name)
                                 if (ch == '-') ch = '_';
                             return (std::get<0>(info.param) == Source::Socket ? "Socket_"
                                                                               : "Script_") +
                                    name;
                         });

TEST_F(SimDrive, RefusesWhatItCannotRunAndTheScriptStopsThere) {
    for (const char* bad :
         {"bogus", "status 10", "status", "pin 12", "pin 12ab", "select 0", "fkey 12", "nak -1",
          "delay-ack x", "wait-for", "ack-mode lost", "chunks 4097", "coalesce 1"})
        EXPECT_EQ(client->Send(bad).compare(0, 6, "error "), 0) << bad;
    EXPECT_EQ(client->Send("# a comment\nframes 5B."), "ok 0");
    EXPECT_EQ(client->Send("help").compare(0, 13, "ok help swipe"), 0);

    std::vector<std::string> echoed, errors;
    orn::sim::CommandRunner runner(session.sim(), true);
    runner.SetEcho([&](const std::string& text) { echoed.push_back(text); });
    std::istringstream script("echo one\n\n  # aside\nstatus 12\necho two\n");
    EXPECT_FALSE(orn::sim::RunScript(runner, script, "s.txt",
                                     [&](const std::string& e) { errors.push_back(e); }));
    EXPECT_EQ(echoed, std::vector<std::string>{"one"});
    EXPECT_EQ(errors, std::vector<std::string>{"s.txt:4: error the status must be 0..9"});
}

// The moment-bound commands: a script that waits for the application's request and then acts,
// as a cardholder at the counter would.
// `screen` ends with the link's state and the faults armed, as the commands that arm them.
TEST_F(SimDrive, ScreenShowsTheLinkAndTheArmedFaults) {
    const struct {
        std::vector<const char*> lines;
        const char* shown;
    } kSteps[] = {
        {{}, "; link connected, faults none; slot empty, beeps 0, hand-input off"},
        {{"nak 2", "drop-ack 3", "delay-answer 400", "silent 1"},
         "; link connected, faults silent 1, nak 2, drop-ack 3, delay-answer 400"},
        {{"silent 0", "nak 0", "drop-ack 0", "delay-answer 0", "withhold-acks 1", "delay-ack 5",
          "bad-lrc 4", "ack-mode drop", "chunks 3", "coalesce on"},
         "; link connected, faults ack-mode drop, withhold-acks 1, bad-lrc 4, delay-ack 5, "
         "chunks 3 2, coalesce on"},
        {{"ack-mode withhold", "chunks 0", "coalesce off"},
         "faults ack-mode withhold, withhold-acks 1, bad-lrc 4, delay-ack 5"},
        {{"ack-mode normal"}, "faults withhold-acks 1, bad-lrc 4, delay-ack 5"},
        {{"insert", "hand-input on"}, "; card inserted, beeps 0, hand-input on"},
        {{"unplug"}, "; link unplugged, faults"},
    };
    for (const auto& step : kSteps) {
        for (const char* line : step.lines) ASSERT_EQ(client->Send(line), "ok") << line;
        const std::string screen = client->Send("screen");
        EXPECT_NE(screen.find(step.shown), std::string::npos) << screen;
    }
}

TEST_F(SimDrive, ScriptWaitsForTheRequestsItAnswers) {
    // Set before the application acts, which it does as soon as the script thread is started.
    ASSERT_EQ(Run(Source::Script, "keypad-delay 60000"), "ok");
    ASSERT_EQ(Run(Source::Script, "auto-swipe off"), "ok");
    orn::sim::CommandRunner runner(session.sim(), true);
    std::istringstream script(
        "wait-for F0.\n"
        "swipe\n"
        "wait-for 58.\n"  // the second: the first is the plain display
        "wait-for 58.\n"
        "cancel\n"
        "wait-for 5B. 200\n");
    std::string error;
    auto done = std::async(std::launch::async, [&] {
        return orn::sim::RunScript(runner, script, "t", [&](const std::string& e) { error = e; });
    });
    int s2, l2 = 0;
    char t2[255];
    ASSERT_EQ(ornSwipeMagStripeCardWait(2, 0, nullptr, nullptr, nullptr, &s2, &l2, t2), 0);
    EXPECT_EQ(std::string(t2, static_cast<size_t>(l2)), orn::sim::DefaultSwipeCard().track2);
    EXPECT_EQ(ornDisplay("Insert", nullptr, nullptr, nullptr), 0);
    char key = 0;
    const auto start = Clock::now();
    EXPECT_EQ(ornFunctionKeyPromptWait("Press a key", nullptr, nullptr, nullptr, &key),
              orn::sim::kCardholderCancelStatus - '0');
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));  // not the 60 s cardholder
    EXPECT_FALSE(done.get());                                   // no beep came
    EXPECT_EQ(error, "t:6: error no 5B. frame within 200 ms");
}

// Commands that name a message take its identifier with or without the dot, in any case, and
// refuse one the terminal does not know.
TEST_F(SimDrive, NamesMessagesWithOrWithoutTheDot) {
    ASSERT_EQ(ornBeep(1), 0);
    const std::pair<const char*, const char*> cases[] = {
        {"frames 5B", "ok 1"},
        {"frames 5b.", "ok 1"},
        {"wait-for 5B 100", "ok"},
        {"wait-for 5b. 100", "ok"},
        {"frames 5Q", "error unknown message: 5Q"},
        {"wait-for Z9. 100", "error unknown message: Z9."},
        {"status 3 ZZ", "error unknown message: ZZ"},
        {"ack-only 99.", "error unknown message: 99."},
    };
    for (const auto& [line, reply] : cases) {
        orn::sim::CommandRunner runner(session.sim(), true);
        EXPECT_EQ(runner.Run(line), reply) << line;
    }
    orn::sim::CommandRunner runner(session.sim(), true);
    ASSERT_EQ(runner.Run("status 3 5b"), "ok");
    EXPECT_EQ(ornBeep(1), 3);
    ASSERT_EQ(runner.Run("ack-only 5B"), "ok");
    EXPECT_FALSE(session.sim().GetHandler("5B."));
}

// DUKPT PIN entry through the library: the first transactions of the published sequence (the
// standard's test base key, PIN 1234, account 4012345678909); and the master/session form's
// block under the first transaction's published PIN key.
TEST_F(SimDrive, DukptPinEntryFollowsThePublishedSequence) {
    char pin[17] = {}, ksn[21] = {};
    ASSERT_EQ(ornDukptPinWait(0, 0, 0, "0004012345678909", nullptr, pin, ksn), 0);
    EXPECT_STREQ(ksn, "FFFF9876543210E00001");
    EXPECT_STREQ(pin, "1B9C1845EB993A7A");
    ASSERT_EQ(ornDukptPinWait(0, 0, 0, "0004012345678909", nullptr, pin, ksn), 0);
    EXPECT_STREQ(ksn, "FFFF9876543210E00002");
    EXPECT_STREQ(pin, "10A01C8D02C69107");
    // The same PIN block as a master/session entry under that transaction's PIN key.
    const std::string pinKey = "042666B49184CF5C68DE9628D0397B36";
    const std::string check = orn::sim::KeyCheckValue(pinKey);
    ASSERT_EQ(ornMasterSessionPinEntryWait(0, 0, 0, 0, "0004012345678909", pinKey.c_str(),
                                           check.c_str(), nullptr, pin),
              0);
    EXPECT_STREQ(pin, "1B9C1845EB993A7A");
}

// A PIN typed by hand is one PIN entry: the serial number counts once, and a PIN queued before
// waits for the next entry.
TEST_F(SimDrive, HandTypedPinIsOneEntry) {
    const std::string account = "0004012345678909";
    ASSERT_EQ(client->Send("pin 4321"), "ok");
    ASSERT_EQ(client->Send("hand-input on"), "ok");
    char pin[17] = {}, ksn[21] = {};
    auto entry = std::async(std::launch::async, [&] {
        return ornDukptPinWait(0, 0, 0, account.c_str(), nullptr, pin, ksn);
    });
    ASSERT_TRUE(WaitUntil([&] { return client->Send("key 2") == "ok"; }, 20000));
    for (const char* key : {"4", "6", "8", "enter"})
        ASSERT_EQ(client->Send(std::string("key ") + key), "ok");
    ASSERT_EQ(entry.get(), 0);
    EXPECT_STREQ(ksn, "FFFF9876543210E00001");
    EXPECT_EQ(pin, orn::sim::DukptPinBlock(kKey32, ksn, "2468", account));
    ASSERT_EQ(client->Send("hand-input off"), "ok");
    ASSERT_EQ(ornDukptPinWait(0, 0, 0, account.c_str(), nullptr, pin, ksn), 0);
    EXPECT_STREQ(ksn, "FFFF9876543210E00002");
    EXPECT_EQ(pin, orn::sim::DukptPinBlock(kKey32, ksn, "4321", account));
}

#ifdef ORNSIM_PATH
// The built ornsim, its standard output read through a pipe: with a control port (its number
// read from the first lines), or as a console with standard input from a pipe too.
class RunningSim {
  public:
    explicit RunningSim(std::vector<std::string> args, bool console = false) {
        args.insert(args.begin(), {ORNSIM_PATH, "--dir", dir_.path()});
        if (!console) args.insert(args.begin() + 3, {"--control", "0"});
        int in[2] = {-1, -1}, out[2];
        if (::pipe(out) != 0 || (console && ::pipe(in) != 0)) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (console) {
            posix_spawn_file_actions_adddup2(&actions, in[0], 0);
            posix_spawn_file_actions_addclose(&actions, in[1]);
        } else {
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        }
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (console) ::close(in[0]);
        in_ = in[1];
        out_ = ::fdopen(out[0], "r");
        for (char line[512]; !console && pid_ > 0 && out_ && std::fgets(line, sizeof line, out_);)
            if (std::sscanf(line, "# control %d", &port_) == 1) break;
    }
    ~RunningSim() {
        if (in_ >= 0) ::close(in_);
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_) std::fclose(out_);
    }
    int port() const { return port_; }
    const orn::test::TempDir& dir() const { return dir_; }
    // Console: types `lines`, then reads all ornsim prints until it ends; true when it ended
    // with status 0.
    bool Type(const std::string& lines, std::string* printed) {
        if (pid_ <= 0 || !out_ ||
            ::write(in_, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size()))
            return false;
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, out_)) > 0;) printed->append(buf, n);
        int status = -1;
        exited_ = ::waitpid(pid_, &status, 0) == pid_;
        return exited_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    // SIGTERM; true when ornsim then ends with status 0 within `ms`.
    bool Terminate(int ms) {
        ::kill(pid_, SIGTERM);
        int status = -1;
        exited_ = WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, ms);
        return exited_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

  private:
    orn::test::TempDir dir_;
    pid_t pid_ = -1;
    int in_ = -1;
    std::FILE* out_ = nullptr;
    int port_ = -1;
    bool exited_ = false;
};

// The console: no prompt, one reply a line, ended by exit.
TEST(SimConsole, RunsCommandsFromStandardInput) {
    RunningSim sim({}, true);
    std::string text;
    EXPECT_TRUE(sim.Type("help\nstatus 3\nbogus\necho hello there\nexit\n", &text));
    EXPECT_EQ(text.find("ornsim>"), std::string::npos);
    EXPECT_NE(text.find("  swipe [TRACK2 [TRACK1]]"), std::string::npos);
    EXPECT_NE(text.find("\nok\nok\nerror unknown command: bogus\nhello there\nok\nok\n"),
              std::string::npos)
        << text;
}

// A control client that sends `lines` commands and never reads an answer, through a small
// receive buffer.
int Hog(int port, int lines) {
    const int fd = ConnectControl(port, 4096);
    EXPECT_GE(fd, 0);
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::string commands;
    for (int i = 0; i < lines; ++i) commands += "help\n";
    // Cut short when the server drops the client.
    ssize_t sent = ::send(fd, commands.data(), commands.size(), MSG_NOSIGNAL);
    (void)sent;
    return fd;
}

// A client that never reads its answers holds back no other client, is dropped once it leaves
// too much unread, and does not keep ornsim from ending on SIGTERM.
TEST(SimControl, AClientThatNeverReadsHoldsNoOneBack) {
    RunningSim sim({});
    ASSERT_GT(sim.port(), 0);
    // Each "help" answers some 300 bytes: far more than the socket buffers hold.
    const int hog = Hog(sim.port(), 40000);
    // Dropped: the connection ends, with the answers still unread.
    pollfd ends{hog, POLLRDHUP, 0};
    EXPECT_EQ(::poll(&ends, 1, 20000), 1);
    EXPECT_NE(ends.revents & (POLLRDHUP | POLLHUP | POLLERR), 0);
    EXPECT_EQ(ControlClient(sim.port()).Send("frames 5B."), "ok 0");
    // A client with unread answers (short of the limit) still connected at SIGTERM.
    const int idle = Hog(sim.port(), 150);
    EXPECT_TRUE(sim.Terminate(10000));
    ::close(idle);
    ::close(hog);
}

// The HID terminal unplugged leaves the device tree until it is plugged in again.
TEST(SimControl, UnpluggedHidTerminalLeavesTheDeviceTree) {
    RunningSim sim({"--hid"});
    ASSERT_GT(sim.port(), 0);
    const std::string entry = sim.dir().File("sys/class/hidraw/hidraw0");
    ControlClient client(sim.port());
    EXPECT_EQ(::access(entry.c_str(), F_OK), 0);
    ASSERT_EQ(client.Send("unplug"), "ok");
    EXPECT_NE(::access(entry.c_str(), F_OK), 0);
    ASSERT_EQ(client.Send("replug"), "ok");
    EXPECT_EQ(::access(entry.c_str(), F_OK), 0);
}
#endif

}  // namespace
