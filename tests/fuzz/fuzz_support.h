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
#include <string>

namespace orn::fuzz {

// Starts the engine once per process (idempotent), logging at the Detail level to standard
// output: run the targets with -close_fd_mask=1.
void StartEngineOnce();

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
