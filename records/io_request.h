// IoRequest and IoItem: one exchange with one instrument register, and the values it carries.
// The host owns, allocates and frees both; the driver reads them during a call, writes the values
// it receives into the items, and keeps no pointer to either after the call returns. Bytes marked
// "host" are never read or written by the driver. Declared, with every field's meaning, in the
// public header (QM4720IoItem, QM4720IoRequest); checked here against the host's byte offsets.
// Layout rules: records/layout.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include <qm4720/qm4720.h>

#include "records/layout.h"

// The value slot of an item: BIT, INT and FLOAT views of the same four bytes.
using ValueSlot = QM4720ValueSlot;
static_assert(sizeof(ValueSlot) == 4);

using IoItem = QM4720IoItem;

QM_RECORD_OFFSET(IoItem, host0, 0, 0);
QM_RECORD_OFFSET(IoItem, reserved2, 2, 2);
QM_RECORD_OFFSET(IoItem, type, 4, 4);
QM_RECORD_OFFSET(IoItem, host6, 6, 6);
QM_RECORD_OFFSET(IoItem, value, 8, 8);
QM_RECORD_OFFSET(IoItem, readValue, 12, 12);
QM_RECORD_OFFSET(IoItem, quality, 16, 16);
QM_RECORD_OFFSET(IoItem, host18, 18, 18);
QM_RECORD_OFFSET(IoItem, timestampLow, 20, 20);
QM_RECORD_OFFSET(IoItem, timestampHigh, 24, 24);
QM_RECORD_SIZE(IoItem, 28, 28);

// The first 16 bytes of an item (up to and including readValue) are all that the basic entry
// point touches; the probe's own item is that long.
inline constexpr std::size_t kBasicItemSize = offsetof(IoItem, quality);

// One node of the host's doubly linked item list.
using IoItemNode = QM4720IoItemNode;

QM_RECORD_OFFSET(IoItemNode, next, 0, 0);
QM_RECORD_OFFSET(IoItemNode, previous, 4, 8);
QM_RECORD_OFFSET(IoItemNode, item, 8, 16);
QM_RECORD_SIZE(IoItemNode, 12, 24);

// The host's list object of item pointers. The driver reads only head and count.
using IoItemList = QM4720IoItemList;
QM_RECORD_SIZE(IoItemList, 28, 56);

using IoRequest = QM4720IoRequest;

QM_RECORD_OFFSET(IoRequest, host0, 0, 0);
QM_RECORD_OFFSET(IoRequest, station, 2, 2);
QM_RECORD_OFFSET(IoRequest, cookie, 4, 4);
QM_RECORD_OFFSET(IoRequest, modelName, 8, 8);
QM_RECORD_OFFSET(IoRequest, registerText, 12, 16);
QM_RECORD_OFFSET(IoRequest, registerIndex, 16, 24);
QM_RECORD_OFFSET(IoRequest, host18, 18, 26);
QM_RECORD_OFFSET(IoRequest, direction, 32, 40);
QM_RECORD_OFFSET(IoRequest, host34, 34, 42);
QM_RECORD_OFFSET(IoRequest, items, 36, 48);
QM_RECORD_OFFSET(IoRequest, items.operations, 36, 48);
QM_RECORD_OFFSET(IoRequest, items.head, 40, 56);
QM_RECORD_OFFSET(IoRequest, items.tail, 44, 64);
QM_RECORD_OFFSET(IoRequest, items.count, 48, 72);
QM_RECORD_OFFSET(IoRequest, items.freeList, 52, 80);
QM_RECORD_OFFSET(IoRequest, items.blocks, 56, 88);
QM_RECORD_OFFSET(IoRequest, items.blockSize, 60, 96);
QM_RECORD_SIZE(IoRequest, 64, 104);

inline constexpr std::int16_t kDirectionRead = QM4720_DIRECTION_READ;
inline constexpr std::int16_t kDirectionWrite = QM4720_DIRECTION_WRITE;

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
