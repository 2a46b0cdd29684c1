// The bytes on the terminal link: control bytes, the LRC, frame building, the fixed frames, the
// P1.6 text encoding of raw 8-bit payloads on the 7-bit serial link, and the hex dumps of link
// traffic written to the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orn {

class CLogger;

// Control bytes.
constexpr uint8_t kSOH = 0x01;  // start of a continuation block of a multi-block message
constexpr uint8_t kSTX = 0x02;  // start of every other frame
constexpr uint8_t kETX = 0x03;  // end of a frame (of the last block)
constexpr uint8_t kENQ = 0x05;  // enquiry
constexpr uint8_t kACK = 0x06;
constexpr uint8_t kNAK = 0x15;
constexpr uint8_t kETB = 0x17;  // end of a non-final block

// Fixed frames.
extern const uint8_t kAckFrame[1];
extern const uint8_t kNakFrame[1];
extern const uint8_t kLinkTestFrame[1];  // ENQ alone: no identifier, no LRC
extern const uint8_t kCancelFrame[6];    // "50." framed with its LRC: 02 35 30 2E 03 28

// Dump titles.
constexpr const char* kTxDataTitle = "TX Data";
constexpr const char* kTxUnencodedTitle = "TX Data (unencoded)";
constexpr const char* kTxEncodedTitle = "TX Data (P1.6 encoded)";
constexpr const char* kRxDataTitle = "RX Data";
constexpr const char* kRxEncodedTitle = "RX Data (P1.6 encoded)";
constexpr const char* kRxDecodedTitle = "RX Data (decoded)";

// LRC of a frame given from its start byte through its end byte (the LRC itself excluded): the
// XOR of every byte after the start byte, with the start byte included when it is not STX.
uint8_t Lrc(const uint8_t* frame, size_t length);
// XOR of `length` bytes (the running LRC of a byte range).
uint8_t XorBytes(const uint8_t* bytes, size_t length);

// True when the first three bytes are "F0." or "F1." (case ignored): the messages whose payload
// is raw 8-bit data, P1.6-encoded on a 7-bit link. Fewer than three bytes never match.
bool IsRawDataId(const uint8_t* id, size_t length);
// True when the first three bytes equal the three characters of `id3`, case ignored.
bool IdEquals(const uint8_t* id, size_t length, const char* id3);

// P1.6: three bytes become four characters 0x40 + (6-bit group), most significant bit first,
// the last group padded with zero bits. Decoding uses the low 6 bits of each character and drops
// trailing bits that do not fill a byte.
constexpr size_t P16EncodedLength(size_t bytes) {
    return (8 * bytes + 5) / 6;
}
constexpr size_t P16DecodedLength(size_t chars) {
    return 6 * chars / 8;
}
// Writes P16EncodedLength(length) characters to `out`; returns that count.
size_t P16Encode(const uint8_t* bytes, size_t length, uint8_t* out);
// Writes P16DecodedLength(length) bytes to `out`; returns that count.
size_t P16Decode(const uint8_t* chars, size_t length, uint8_t* out);
std::vector<uint8_t> P16Encode(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> P16Decode(const std::vector<uint8_t>& chars);

// Frame builders. The plain frame is start byte, identifier, payload, end byte, LRC (Lrc rule
// above). The encoded frame carries the P1.6 encoding of the payload instead and its LRC is the
// XOR of everything after the start byte through the end byte.
constexpr size_t PlainFrameLength(size_t idLength, size_t payloadLength) {
    return 1 + idLength + payloadLength + 2;
}
constexpr size_t EncodedFrameLength(size_t idLength, size_t payloadLength) {
    return 1 + idLength + P16EncodedLength(payloadLength) + 2;
}
// Write the frame to `out` and return its length, or 0 (nothing written) when it does not fit
// in `capacity`.
size_t BuildFrame(uint8_t* out, size_t capacity, uint8_t start, const uint8_t* id, size_t idLength,
                  const uint8_t* payload, size_t payloadLength, uint8_t end);
size_t BuildEncodedFrame(uint8_t* out, size_t capacity, uint8_t start, const uint8_t* id,
                         size_t idLength, const uint8_t* payload, size_t payloadLength,
                         uint8_t end);
std::vector<uint8_t> BuildFrame(uint8_t start, const std::string& id, const uint8_t* payload,
                                size_t payloadLength, uint8_t end);
std::vector<uint8_t> BuildFrame(uint8_t start, const std::string& id, const std::string& payload,
                                uint8_t end);
std::vector<uint8_t> BuildEncodedFrame(uint8_t start, const std::string& id, const uint8_t* payload,
                                       size_t payloadLength, uint8_t end);

// The EMV acknowledgement for sequence number `sequence`: "F1." with payload 00 02 05 s, plain
// on an 8-bit link (10 bytes), P1.6-encoded on a 7-bit link (12 bytes).
std::vector<uint8_t> BuildEmvAckFrame(uint8_t sequence, bool eightBitLink);
// The plain form of the same frame (what is dumped as "TX Data (unencoded)" on a 7-bit link).
std::vector<uint8_t> BuildPlainEmvAckFrame(uint8_t sequence);

// Hex dumps. The body is 16 bytes a line: "%02X " per byte (three spaces past the end), two
// spaces, the byte as a character when 0x20..0x7E else '.', a space past the end, a line feed.
// With a mask (one flag per byte; missing flags count as false) a hidden byte shows "**" in the
// hex column and '*' in the character column: the layout stays.
std::string HexDumpBody(const uint8_t* bytes, size_t count,
                        const std::vector<bool>* mask = nullptr);
// The whole log entry: "<title> (<count>):\n<body>".
std::string HexDump(const char* title, const uint8_t* bytes, size_t count,
                    const std::vector<bool>* mask = nullptr);
// A received frame as it came: STX, the stored bytes, ETX and the received LRC; the count shown
// is the stored length + 3. `p16Encoded`: the stored payload is still P1.6-encoded. Secrets of
// the message are hidden unless sensitive data logging is on (link/sensitive.h).
std::string ReceivedFrameDump(const char* title, const uint8_t* stored, size_t storedLength,
                              uint8_t lrc, bool p16Encoded = false);
// The mask of a frame the library writes (start byte through LRC): the message's secrets, or
// the whole data of a continuation block (SOH), which carries MAC data. Empty when nothing is
// hidden.
std::vector<bool> TxFrameMask(const uint8_t* frame, size_t length);

// Log a dump at `level` as one entry; nothing is formatted when the level is filtered out.
void LogHexDump(CLogger& logger, int32_t level, const char* title, const uint8_t* bytes,
                size_t count, const std::vector<bool>* mask = nullptr);
void LogReceivedFrameDump(CLogger& logger, int32_t level, const char* title, const uint8_t* stored,
                          size_t storedLength, uint8_t lrc, bool p16Encoded = false);
// Dumps a frame about to be written. With an encoded frame (encodedLength >= 0): "TX Data
// (unencoded)" with the plain frame less its start byte, end byte and LRC, then "TX Data (P1.6
// encoded)" with the whole encoded frame. Otherwise "TX Data" with the whole plain frame.
// Secrets are hidden in every form unless sensitive data logging is on.
void DumpTxFrame(CLogger& logger, int32_t level, const uint8_t* plain, size_t plainLength,
                 const uint8_t* encoded, int encodedLength);

}  // namespace orn
