// Scroll list: the caller builds the list text item by item, then the terminal shows it under four
// title lines and reports the item the cardholder picked.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "api/command.h"
#include "api/guard.h"
#include "api/session.h"
#include "api/text.h"
#include "platform/platform.h"
#include "velquoraorn.h"

using namespace orn;

namespace {

constexpr char kItemEnd = 0x1E;   // ends a title line and every item
constexpr char kItemData = 0x1C;  // starts the four hex digits of an item's data
constexpr int kTitleColumns = 16;

// The list text is read and modified in place in the caller's buffer; this lock makes each
// addition and the copy taken for sending whole, so threads that share a list never see it
// half-written through the library.
platform::RecursiveLock& ListLock() {
    static platform::RecursiveLock lock;
    return lock;
}

// Appends the encoded item and `tail` when they fit with the terminator; else nothing changes.
// The item is encoded in full, so it is added whole or not at all.
void AppendItem(char* list, const char* item, const std::string& tail, unsigned size) {
    if (!list || !item || size == 0) return;
    const std::string encoded = EncodeDisplayText(item);
    platform::LockGuard guard(ListLock());
    // A list without a terminator inside its buffer has no room left.
    const void* end = std::memchr(list, '\0', size);
    if (!end) return;
    const size_t length = static_cast<size_t>(static_cast<const char*>(end) - list);
    if (length + encoded.size() + tail.size() + 1 > size) return;
    std::memcpy(list + length, encoded.data(), encoded.size());
    std::memcpy(list + length + encoded.size(), tail.data(), tail.size());
    list[length + encoded.size() + tail.size()] = '\0';
}

// The "6C." request both forms send; the list travels whole or the call is refused.
Command ScrollList(int reserved, int option1, int option2, int flag1, int displayTime, int flag2,
                   int option3, const char* title1, const char* title2, const char* title3,
                   const char* title4, const char* list) {
    const char* titles[4] = {title1, title2, title3, title4};
    const bool argumentsOk = reserved == 0 && option1 >= 1 && option1 <= 9 && option2 >= 1 &&
                             option2 <= 9 && (flag1 == 0 || flag1 == 1) && displayTime >= 0 &&
                             displayTime <= 15 && (flag2 == 0 || flag2 == 1) && option3 >= 1 &&
                             option3 <= 20;
    bool anyTitleValid = false;
    bool linkSafe = true;
    std::string titleText;
    for (const char* title : titles) {
        char encoded[2 * kTitleColumns + 1];
        EncodeDisplayText(encoded, title, sizeof encoded);
        anyTitleValid = anyTitleValid || (title && IsValidDisplayText(encoded));
        linkSafe = linkSafe && !HasLinkControlByte(encoded);
        titleText += ClipDisplayText(encoded, kTitleColumns);
        titleText += kItemEnd;
    }
    std::string listText;
    if (list) {
        platform::LockGuard guard(ListLock());
        listText = list;
    }
    Command request("ornScrollListReq", catalogue::kScrollList);
    request.Require(argumentsOk)
        .Require(title1 && title2 && title3 && title4 && list)
        .Require(anyTitleValid)
        .Require(linkSafe && !HasLinkControlByte(listText.c_str()))
        .ResponseTimeout(argumentsOk ? static_cast<uint32_t>(displayTime) * 5000 : 0)
        .PayloadF("0%d%d%d%X%d%02d", option1, option2, flag1, displayTime, flag2, option3)
        .Payload(titleText)
        .Payload(listText);
    return request;
}

}  // namespace

extern "C" {

ORN_API void ornAddListItem(char* list, const char* item, unsigned size) {
    orn::GuardedVoid("ornAddListItem",
                     [&] { AppendItem(list, item, std::string(1, kItemEnd), size); });
}

ORN_API void ornAddListItemWithData(char* list, const char* item, int data, unsigned size) {
    orn::GuardedVoid("ornAddListItemWithData", [&] {
        // Four hex digits hold 16 bits; a wider value would not fit the room the item was given.
        if (data < 0 || data > 0xFFFF) return;
        char tail[8];
        std::snprintf(tail, sizeof tail, "%c%04X%c", kItemData, data, kItemEnd);
        AppendItem(list, item, tail, size);
    });
}

ORN_API int ornScrollListReq(int reserved, int option1, int option2, int flag1, int displayTime,
                             int flag2, int option3, const char* title1, const char* title2,
                             const char* title3, const char* title4, const char* list,
                             ornScrollCallback callback) {
    return ScrollList(reserved, option1, option2, flag1, displayTime, flag2, option3, title1,
                      title2, title3, title4, list)
        .Require(callback != nullptr)
        .RunAsync(kCallbackScroll, callback);
}

ORN_API int ornScrollListWait(int reserved, int option1, int option2, int flag1, int displayTime,
                              int flag2, int option3, const char* title1, const char* title2,
                              const char* title3, const char* title4, const char* list,
                              int* selection, int* data) {
    return ScrollList(reserved, option1, option2, flag1, displayTime, flag2, option3, title1,
                      title2, title3, title4, list)
        .Require(selection && data)
        .Clear([=] { *selection = *data = -1; })
        .Parse([=](const Response& reply) {
            const catalogue::ScrollAnswer scroll = catalogue::ReadScroll(reply.Text());
            *selection = scroll.selection;
            *data = scroll.data;
            if (!scroll.expectedLength) reply.Warn("%s", catalogue::kScrollLengthWarning);
        })
        .Run();
}

}  // extern "C"
