// The link's byte codecs on any message: P1.6 both ways, the secret masks (which hide every
// byte of the fields the catalogue marks secret) and the hex dumps of received and sent frames,
// the catalogue's description, and its answer readers.
#include <cstring>
#include <string>
#include <vector>

#include "engine/callbacks.h"
#include "fuzz_support.h"
#include "link/catalogue.h"
#include "link/frame.h"
#include "link/sensitive.h"

using namespace orn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::Message m = fuzz::ReadMessage(data, size);
    const std::string text = m.id + m.payload;
    const std::vector<uint8_t> bytes(text.begin(), text.end());

    // P1.6: whatever the characters, decoding and encoding again gives the same bytes back.
    const std::vector<uint8_t> decoded = P16Decode(bytes);
    fuzz::Check(decoded.size() == P16DecodedLength(bytes.size()), "decoded length");
    fuzz::Check(P16Decode(P16Encode(decoded)) == decoded, "decode(encode(decode(x)))");
    const std::vector<uint8_t> encoded = P16Encode(bytes);
    fuzz::Check(encoded.size() == P16EncodedLength(bytes.size()), "encoded length");
    fuzz::Check(P16Decode(encoded) == bytes, "decode(encode(x))");

    // Masks never outgrow the message; the dumps read only what they are given.
    const LinkDirection direction =
        (m.variant & 1) ? LinkDirection::FromTerminal : LinkDirection::ToTerminal;
    SetLogSensitiveData((m.variant & 0x80) != 0);
    const std::vector<bool> mask = SensitiveMask(direction, bytes.data(), bytes.size());
    fuzz::Check(mask.empty() || mask.size() == bytes.size(), "mask size");
    if (!LogSensitiveData() && bytes.size() > 3) {
        for (const catalogue::Field& field :
             catalogue::FieldsOf(direction, bytes.data(), bytes.size())) {
            // Identifiers of two characters ("72") carry no secrets: payloads start at 3.
            const size_t at = 3 + field.from;
            fuzz::Check(at + field.count <= bytes.size(), "field inside the message");
            if (field.secrecy != catalogue::Secrecy::Secret) continue;
            for (size_t i = 0; i < field.count; ++i)
                fuzz::Check(mask.size() > at + i && mask[at + i], "secret field shown");
        }
    }
    catalogue::Describe(direction, bytes.data(), bytes.size(), mask);
    if (mask.size() > 3) {
        const std::vector<bool> payloadMask(mask.begin() + 3, mask.end());
        const std::vector<bool> chars = EncodedMask(payloadMask, encoded.size());
        fuzz::Check(chars.size() == encoded.size(), "encoded mask size");
    }
    HexDump("RX Data", bytes.data(), bytes.size(), &mask);
    ReceivedFrameDump("RX Data", bytes.data(), bytes.size(), m.variant, (m.variant & 2) != 0);
    const std::vector<uint8_t> frame =
        BuildFrame((m.variant & 4) ? kSOH : kSTX, m.id, m.payload, (m.variant & 8) ? kETB : kETX);
    const std::vector<bool> txMask = TxFrameMask(frame.data(), frame.size());
    fuzz::Check(txMask.empty() || txMask.size() == frame.size(), "tx mask size");
    TxFrameMask(bytes.data(), bytes.size());
    SetLogSensitiveData(false);

    // The answer readers stay inside the text, and the callback's copies in their buffers.
    const catalogue::DebitAnswer reply = catalogue::ReadDebit(m.payload);
    fuzz::Check(reply.pinBlockPos + reply.pinBlock.size() <= m.payload.size(), "debit pin");
    fuzz::Check(reply.firstText.size() + reply.secondText.size() <= m.payload.size(), "texts");
    DebitCallbackArgs args;
    DecodeDebitCallback(m.payload, &args);
    fuzz::Check(std::strlen(args.firstText) < sizeof args.firstText, "first text");
    catalogue::ReadScroll(m.payload);
    catalogue::ReadSwipe(m.payload);
    catalogue::ReadEntry(m.payload, (m.variant & 0x10) != 0);
    catalogue::ReadReaderSwipe(m.payload, (m.variant & 0x20) != 0);
    catalogue::ReaderBlock block;
    if (catalogue::ReadReaderBlock(m.payload, &block))
        fuzz::Check(block.bytes.size() <= block.declared, "reader block");
    return 0;
}
