// A host-side request as a test builds it: an IoRequest with its own list nodes and items, laid
// out the way a host lays them out.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>

#include "contract/data_type.h"
#include "records/io_request.h"

namespace testing_support {

class TestRequest {
public:
    TestRequest(std::int16_t direction, std::int16_t station, std::int16_t registerIndex,
                const char* registerText, const char* modelName = "") {
        std::memset(&request_, 0, sizeof request_);
        request_.direction = direction;
        request_.station = station;
        request_.registerIndex = registerIndex;
        request_.registerText = registerText;
        request_.modelName = modelName;
    }
    TestRequest(const TestRequest&) = delete;
    TestRequest& operator=(const TestRequest&) = delete;

    // Appends an item of `type` whose value and readValue slots hold the sentinel 0xdeadbeef and
    // whose quality and stamp hold sentinels too; returns it for the test to fill.
    IoItem& AddItem(std::uint16_t type) {
        IoItem& item = items_.emplace_back();
        std::memset(&item, 0x5a, sizeof item);
        item.type = type;
        item.value.asBit = kSentinel;
        item.readValue.asBit = kSentinel;
        item.quality = kQualitySentinel;
        item.timestampLow = kSentinel;
        item.timestampHigh = kSentinel;
        IoItemNode& node = nodes_.emplace_back();
        node = IoItemNode{nullptr, nodes_.size() > 1 ? &nodes_[nodes_.size() - 2] : nullptr, &item};
        if (nodes_.size() > 1) nodes_[nodes_.size() - 2].next = &node;
        request_.items.head = &nodes_.front();
        request_.items.tail = &node;
        request_.items.count = static_cast<std::int32_t>(nodes_.size());
        return item;
    }
    IoItem& AddInt(std::int16_t value) {
        IoItem& item = AddItem(kTypeInt);
        item.value.asInt = value;
        return item;
    }
    IoItem& AddFloat(float value) {
        IoItem& item = AddItem(kTypeFloat);
        item.value.asFloat = value;
        return item;
    }
    IoItem& AddBit(std::int32_t value) {
        IoItem& item = AddItem(kTypeBit);
        item.value.asBit = value;
        return item;
    }

    IoRequest& request() { return request_; }
    IoRequest* operator->() { return &request_; }
    IoItem& item(std::size_t i) { return items_[i]; }
    IoItemNode& node(std::size_t i) { return nodes_[i]; }

    static constexpr std::int32_t kSentinel = static_cast<std::int32_t>(0xdeadbeef);
    static constexpr std::int16_t kQualitySentinel = 0x1234;

private:
    IoRequest request_;
    // Deques keep the addresses of earlier elements when more are added.
    std::deque<IoItem> items_;
    std::deque<IoItemNode> nodes_;
};

}  // namespace testing_support
