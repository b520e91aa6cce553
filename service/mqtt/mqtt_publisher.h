// qm4720d's MQTT publisher (libmosquitto): every new reading of a running configuration sent to
// the broker of [mqtt] in the payload it names (JSON or Sparkplug B, mqtt_payload_format.h), with
// the format's last will, and writes taken when the configuration allows them.
//
// Threads: the line workers only copy a reading into a bounded queue (Publish); a sender thread
// of ours formats it and hands it to libmosquitto while connected, and a network thread of ours
// runs libmosquitto's loop, connecting again with backoff (1 s doubling to 30 s) while the broker
// is away. Only a bounded number of messages is ever inside libmosquitto, which would otherwise
// queue without limit while disconnected: the rest wait in our queue, whose oldest messages are
// dropped (and counted) once it holds `queue_limit`; with [history], what was dropped, or missed
// across a restart of the service, is sent again from the history (mqtt_forward.h). Writes run on a
// third thread of ours, never on the network thread, because MeterGateway::Write blocks until the
// meter answered.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "service/core/live_cell.h"
#include "service/core/service_config.h"
#include "service/mqtt/mqtt_counters.h"
#include "service/mqtt/mqtt_forward.h"
#include "service/mqtt/mqtt_payload_format.h"

struct mosquitto;
struct mosquitto_message;

namespace service {

class ServiceRuntime;

class MqttPublisher {
public:
    // For `config.mqtt`'s broker; nothing is sent before Start. Writes are resolved against
    // `config`'s meters.
    explicit MqttPublisher(const ServiceConfig& config);
    // Says the format's goodbye when connected ("offline", or NDEATH), then disconnects.
    // StopWrites first.
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Connects in the background; the connection is retried with backoff for as long as the
    // publisher lives. Readings that come before are queued.
    void Start();

    // Queues a new reading; never blocks for long (the runtime's line workers call it).
    void Publish(std::string_view line, const LiveCell& cell);

    // With `mqtt.writes`, starts taking .../set messages to `runtime`'s gateways (made from the
    // same configuration); `runtime` must live until StopWrites has returned.
    void StartWrites(ServiceRuntime& runtime);
    // Waits for a write in progress and takes no more; before the runtime goes. Idempotent.
    void StopWrites();

    MqttCounters Counters() const;

private:
    // Messages handed to libmosquitto and not yet sent (QoS 0) or acknowledged (QoS 1): enough to
    // keep the connection busy, few enough that what libmosquitto holds stays small.
    static constexpr std::size_t kWindow = 256;

    // A message ready to send (a write's answer), or a reading that the sender turns into
    // messages through the format.
    struct Message {
        OutgoingMessage ready;
        std::string line;                 // of the reading
        std::optional<LiveCell> reading;  // turned into topic and payload by the sender
    };
    using Clock = std::chrono::steady_clock;
    using WriteRequest = MqttWrite;

    // TLS to the broker from `access`; false (logged) when libmosquitto refuses it.
    bool SetTls(const MqttAccess& access);
    void Enqueue(Message message);
    // A write's answer, not retained; nullopt `result` for a request that could not be read.
    // Queues a write for the write thread (on the network thread).
    void TakeWrite(MqttWrite write);
    void EnqueueResult(const WriteRequest& write, const std::optional<WriteResult>& result);
    void SendLoop();
    // Hands `out` to libmosquitto (with the lock held, released around each call); `readingUtc`
    // when it is a reading's.
    void PublishOut(std::unique_lock<std::mutex>& lock, std::vector<OutgoingMessage>& out,
                    bool first, std::optional<std::int64_t> readingUtc);
    // The store-and-forward's turn on the sender thread: the database opened, the mark saved,
    // a batch of the history sent again when it is due.
    void ForwardStep(std::unique_lock<std::mutex>& lock);
    bool ReplayDue() const;
    void NetworkLoop();
    void WriteLoop();
    WriteResult Write(const WriteRequest& write);

    static void OnConnect(mosquitto* mosq, void* self, int rc);
    static void OnDisconnect(mosquitto* mosq, void* self, int rc);
    static void OnPublish(mosquitto* mosq, void* self, int mid);
    static void OnMessage(mosquitto* mosq, void* self, const mosquitto_message* message);

    ServiceConfig config_;
    std::unique_ptr<MqttPayloadFormat> format_;
    mosquitto* mosq_ = nullptr;
    std::thread network_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Message> queue_;
    std::deque<MqttCommand> commands_;  // rebirths, the primary host's state: before the queue
    bool sessionPending_ = false;       // a new connection: the format's first words are due
    std::set<int> inFlight_;  // message ids inside libmosquitto, not yet sent (QoS 0) or acked
    std::set<int> acked_;     // ids acknowledged before SendLoop noted them
    MqttForward forward_;
    Clock::time_point nextMark_{};    // when the mark is saved next
    Clock::time_point nextReplay_{};  // when the next batch of the history may go
    std::optional<std::int64_t> savedMark_;
    bool connected_ = false;
    bool stopping_ = false;         // the sender's
    bool networkStopping_ = false;  // the network thread's
    MqttCounters counters_;
    std::uint64_t connects_ = 0;
    std::thread sender_;

    std::mutex writeMutex_;
    std::condition_variable writeWake_;
    std::deque<WriteRequest> writes_;
    ServiceRuntime* runtime_ = nullptr;
    bool writesStopping_ = false;
    std::uint64_t overflowed_ = 0;  // writes answered at once since the log last said so
    std::thread writer_;
};

}  // namespace service
