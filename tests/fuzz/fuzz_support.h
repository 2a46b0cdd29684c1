// What the fuzz targets share: the engine started as an open link would start it (threads, a
// log at the Detail level) but with no transport, and a reader over the fuzzer's bytes.
//
// Input layouts (the seed recorder of tests/support writes the same ones):
//   message targets (answers, callbacks, emv, codec): variant byte, 3-character identifier,
//     payload as the library holds it (P1.6-decoded for "F0."/"F1.");
//   receiver: flags byte (bit 0: 8-bit link, bit 1: quick-cancel mode), then chunks, each a
//     length byte and that many bytes (a length of 0 resets the receiver);
//   logread: mode byte (key source), then the file's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace orn::fuzz {

// Starts the engine once per process (idempotent), logging at the Detail level to standard
// output: run the targets with -close_fd_mask=1.
void StartEngineOnce();

// The targets that go through the engine are built twice: on the real platform's threads
// (engine_threads.cpp) and on the simulated one (engine_dsim.cpp: fibers on virtual time, each
// input a fresh run whose interleaving `schedule` chooses, so that the waits of the engine cost
// nothing and a hang or a thread left behind fails the input at once).
//
// Runs `body` with the engine started as StartEngineOnce starts it. On threads the engine
// starts once per process; on fibers it starts for each input and is closed after `body`.
void WithEngine(uint64_t schedule, const std::function<void()>& body);
// Runs `body` with the library open (ornInit) against a terminal that acknowledges and answers
// every message; on threads opened once per process.
void WithOpenLibrary(uint64_t schedule, const std::function<void()>& body);
// The payload the terminal answers the next message with (a cancel keeps its own answer);
// std::nullopt withdraws it.
void AnswerNext(std::optional<std::string> answer);
// A schedule from the input's bytes.
uint64_t Schedule(const uint8_t* data, size_t size);

// Sequential reads over the input; past the end every read gives zeros or nothing.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : m_pData(data), m_nSize(size) {}
    size_t Left() const { return m_nPos < m_nSize ? m_nSize - m_nPos : 0; }
    uint8_t Byte() { return m_nPos < m_nSize ? m_pData[m_nPos++] : 0; }
    std::string Take(size_t count) {
        const size_t n = count < Left() ? count : Left();
        std::string out(reinterpret_cast<const char*>(m_pData + m_nPos), n);
        m_nPos += n;
        return out;
    }
    std::string Rest() { return Take(Left()); }

  private:
    const uint8_t* m_pData;
    size_t m_nSize;
    size_t m_nPos = 0;
};

// A message input: variant, identifier and payload.
struct Message {
    uint8_t variant = 0;
    std::string id;       // 3 characters, possibly fewer for a short input
    std::string payload;  // the rest
};
Message ReadMessage(const uint8_t* data, size_t size);

// Fails the run (abort, so libFuzzer keeps the input) when `ok` is false.
void Check(bool ok, const char* what);

}  // namespace orn::fuzz
