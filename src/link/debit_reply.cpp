#include "link/debit_reply.h"

#include <algorithm>
#include <cstdlib>

namespace orn {

namespace {

// A bounded reader over the answer.
class Cursor {
  public:
    Cursor(const char* text, size_t length) : m_Text(text), m_nLength(length) {}
    size_t Pos() const { return m_nPos; }
    bool AtEnd() const { return m_nPos >= m_nLength; }
    // The next `count` characters (fewer at the end) without consuming them.
    std::string Peek(size_t count) const {
        if (m_nPos >= m_nLength) return {};
        return std::string(m_Text + m_nPos, std::min(count, m_nLength - m_nPos));
    }
    std::string Take(size_t count) {
        std::string part = Peek(count);
        m_nPos += part.size();
        return part;
    }
    void Skip(size_t count) { m_nPos = std::min(m_nLength, m_nPos + count); }

  private:
    const char* m_Text;
    size_t m_nLength;
    size_t m_nPos = 0;
};

uint32_t Decimal(const std::string& digits) {
    return static_cast<uint32_t>(std::strtoull(digits.c_str(), nullptr, 10));
}

// A value of 9 digits, absent (0, nothing consumed) when the account type code follows.
uint32_t OptionalValue(Cursor& cursor) {
    const std::string next = cursor.Peek(3);
    if (next == "C01" || next == "S01") return 0;
    return Decimal(cursor.Take(9));
}

std::string LengthPrefixedText(Cursor& cursor) {
    const uint32_t declared = Decimal(cursor.Take(2));
    return declared > 0 ? cursor.Take(declared) : std::string();
}

}  // namespace

DebitReply ParseDebitReply(const char* text, size_t length) {
    DebitReply reply;
    if (!text || length == 0 || text[0] != '0') return reply;
    Cursor cursor(text, length);
    cursor.Skip(1);
    reply.firstValue = Decimal(cursor.Take(10));
    reply.secondValue = OptionalValue(cursor);
    reply.thirdValue = OptionalValue(cursor);
    if (!cursor.AtEnd()) reply.code = cursor.Take(1)[0];
    cursor.Skip(2);
    if (!cursor.AtEnd()) reply.pinBlockPos = cursor.Pos();
    reply.pinBlock = cursor.Take(16);
    if (!cursor.AtEnd()) {
        reply.firstLengthPos = cursor.Pos();
        reply.firstText = LengthPrefixedText(cursor);
        if (!cursor.AtEnd()) reply.secondLengthPos = cursor.Pos();
        reply.secondText = LengthPrefixedText(cursor);
    }
    return reply;
}

}  // namespace orn
