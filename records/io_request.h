// IoRequest and IoItem: one exchange with one instrument register, and the values it carries.
// The host owns, allocates and frees both; the driver reads them during a call, writes the values
// it receives into the items, and keeps no pointer to either after the call returns. Bytes marked
// "host" are never read or written by the driver. Layout rules: records/layout.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "records/layout.h"

// The value slot of an item. BIT is a 32-bit integer (0 or 1), INT a 16-bit signed integer in
// the low two bytes (the upper two are left as they were), FLOAT a 32-bit IEEE single.
union ValueSlot {
    std::int32_t asBit;
    std::int16_t asInt;
    float asFloat;
    std::uint8_t bytes[4];
};
static_assert(sizeof(ValueSlot) == 4);

struct IoItem {
    std::uint8_t host0[2];
    std::uint16_t reserved2;  // not read; the probe's own item sets it to 0
    std::uint16_t type;       // DataType code: BIT, INT and FLOAT are decoded on a read
    std::uint8_t host6[2];
    ValueSlot value;       // written values come from here; the extended entry point and
                           // the QM4720N path store read values here
    ValueSlot readValue;   // the basic entry point stores default-model reads here
    std::int16_t quality;  // 192 on every item of an accepted, stamped read
    std::uint8_t host18[2];
    std::uint32_t timestampLow;   // file time of the reading (100 ns since 1601-01-01, UTC),
    std::uint32_t timestampHigh;  // set together with quality
};

QM_RECORD_OFFSET(IoItem, reserved2, 2, 2);
QM_RECORD_OFFSET(IoItem, type, 4, 4);
QM_RECORD_OFFSET(IoItem, value, 8, 8);
QM_RECORD_OFFSET(IoItem, readValue, 12, 12);
QM_RECORD_OFFSET(IoItem, quality, 16, 16);
QM_RECORD_OFFSET(IoItem, timestampLow, 20, 20);
QM_RECORD_OFFSET(IoItem, timestampHigh, 24, 24);
QM_RECORD_SIZE(IoItem, 28, 28);

// The first 16 bytes of an item (up to and including readValue) are all that the basic entry
// point touches; the probe's own item is that long.
inline constexpr std::size_t kBasicItemSize = offsetof(IoItem, quality);

// One node of the host's doubly linked item list.
struct IoItemNode {
    IoItemNode* next;
    IoItemNode* previous;
    IoItem* item;
};

QM_RECORD_OFFSET(IoItemNode, next, 0, 0);
QM_RECORD_OFFSET(IoItemNode, previous, 4, 8);
QM_RECORD_OFFSET(IoItemNode, item, 8, 16);
QM_RECORD_SIZE(IoItemNode, 12, 24);

// The host's list object of item pointers. The driver reads only head and count.
struct IoItemList {
    const void* operations;  // the list's table of operations (host)
    IoItemNode* head;
    IoItemNode* tail;
    std::int32_t count;
    IoItemNode* freeList;    // host
    void* blocks;            // host
    std::int32_t blockSize;  // host
};

struct IoRequest {
    std::uint8_t host0[2];
    std::int16_t station;        // 0..99, written into the frame as digits
    std::uint32_t cookie;        // not read; the probe stores its third argument here
    const char* modelName;       // compared with "QM4720N", ASCII case ignored
    const char* registerText;    // the QM4720N path sends its first two characters
    std::int16_t registerIndex;  // index in the model's register table, from ParseRegister
    std::uint8_t host18[14];     // the probe zeroes bytes 6..13 of this (request bytes 24..31)
    std::int16_t direction;      // 0 read, 1 write; anything else is refused
    std::uint8_t host34[2];
    IoItemList items;
};

QM_RECORD_OFFSET(IoRequest, station, 2, 2);
QM_RECORD_OFFSET(IoRequest, cookie, 4, 4);
QM_RECORD_OFFSET(IoRequest, modelName, 8, 8);
QM_RECORD_OFFSET(IoRequest, registerText, 12, 16);
QM_RECORD_OFFSET(IoRequest, registerIndex, 16, 24);
QM_RECORD_OFFSET(IoRequest, host18, 18, 26);
QM_RECORD_OFFSET(IoRequest, direction, 32, 40);
QM_RECORD_OFFSET(IoRequest, items, 36, 48);
QM_RECORD_OFFSET(IoRequest, items.operations, 36, 48);
QM_RECORD_OFFSET(IoRequest, items.head, 40, 56);
QM_RECORD_OFFSET(IoRequest, items.tail, 44, 64);
QM_RECORD_OFFSET(IoRequest, items.count, 48, 72);
QM_RECORD_OFFSET(IoRequest, items.freeList, 52, 80);
QM_RECORD_OFFSET(IoRequest, items.blocks, 56, 88);
QM_RECORD_OFFSET(IoRequest, items.blockSize, 60, 96);
QM_RECORD_SIZE(IoRequest, 64, 104);

inline constexpr std::int16_t kDirectionRead = 0;
inline constexpr std::int16_t kDirectionWrite = 1;

// Walks the request's items in the host's order: from items.head, at most items.count nodes.
// The walk stops early at a null next pointer rather than trusting a count that runs past the
// end of the list, and passes over a node whose item pointer is null. A count of 0 or less
// visits nothing.
template <typename Visit>
void ForEachItem(const IoRequest& request, Visit&& visit) {
    const IoItemNode* node = request.items.head;
    for (std::int32_t i = 0; i < request.items.count && node != nullptr; ++i) {
        if (node->item != nullptr) visit(*node->item);
        node = node->next;
    }
}

// The item that a write sends: the head node's, or null when the list is empty (a count of 0 or
// less, no head node, or a head node without an item).
inline IoItem* FirstItem(const IoRequest& request) {
    if (request.items.count <= 0 || request.items.head == nullptr) return nullptr;
    return request.items.head->item;
}
