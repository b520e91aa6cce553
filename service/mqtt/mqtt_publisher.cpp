#include "service/mqtt/mqtt_publisher.h"

#include <mosquitto.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "service/core/line_gateway.h"
#include "service/core/service_log.h"
#include "service/core/service_runtime.h"

namespace service {
namespace {

// Messages handed to libmosquitto and not yet sent (QoS 0) or acknowledged (QoS 1): enough to keep
// the connection busy, few enough that what libmosquitto holds stays small.
constexpr std::size_t kWindow = 256;
// .../set messages waiting for the write thread; more are answered no-answer at once.
constexpr std::size_t kWriteQueueLimit = 64;
constexpr std::chrono::seconds kOfflineWait{2};
// How often a flood of writes answered at once is said in the log, with their count.
constexpr std::chrono::seconds kOverflowReport{1};
constexpr std::chrono::seconds kMaxRetryDelay{30};

std::string Broker(const MqttConfig& mqtt) {
    return mqtt.host + ":" + std::to_string(mqtt.port);
}

}  // namespace

MqttPublisher::MqttPublisher(const ServiceConfig& config) : config_(config) {
    const MqttConfig& mqtt = config_.mqtt;
    mosquitto_lib_init();
    mosq_ = mosquitto_new(mqtt.clientId.c_str(), true, this);
    if (mosq_ == nullptr) {
        Log(LogLevel::kError, "MQTT: cannot create a client (out of memory)");
        return;
    }
    // Our threads publish while the network thread runs the connection.
    mosquitto_threaded_set(mosq_, true);
    mosquitto_connect_callback_set(mosq_, &MqttPublisher::OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &MqttPublisher::OnDisconnect);
    mosquitto_publish_callback_set(mosq_, &MqttPublisher::OnPublish);
    mosquitto_message_callback_set(mosq_, &MqttPublisher::OnMessage);
    mosquitto_max_inflight_messages_set(mosq_, kWindow);
    if (!mqtt.username.empty()) {
        mosquitto_username_pw_set(mosq_, mqtt.username.c_str(),
                                  mqtt.password.empty() ? nullptr : mqtt.password.c_str());
    }
    const std::string status = StatusTopic(mqtt.prefix);
    mosquitto_will_set(mosq_, status.c_str(), 7, "offline", mqtt.qos, true);
    if (mqtt.access.Tls() && !SetTls(mqtt.access)) {
        // Never a plain connection in place of the TLS one the file asked for.
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
}

bool MqttPublisher::SetTls(const MqttAccess& access) {
    const auto Text = [](const std::string& path) { return path.empty() ? nullptr : path.c_str(); };
    int rc = mosquitto_tls_set(mosq_, access.tlsCaFile.c_str(), nullptr,
                               Text(access.tlsCertificate), Text(access.tlsKey), nullptr);
    // The broker's certificate is checked, and its name against the configured host.
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_opts_set(mosq_, 1, "tlsv1.2", nullptr);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_insecure_set(mosq_, false);
    if (rc != MOSQ_ERR_SUCCESS) {
        Log(LogLevel::kError, std::string("MQTT: cannot set up TLS (") + mosquitto_strerror(rc) +
                                  "); nothing is published");
        return false;
    }
    return true;
}

void MqttPublisher::Start() {
    if (mosq_ == nullptr || network_.joinable()) return;
    sender_ = std::thread([this] { SendLoop(); });
    network_ = std::thread([this] { NetworkLoop(); });
}

MqttPublisher::~MqttPublisher() {
    StopWrites();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (sender_.joinable()) sender_.join();
    if (mosq_ == nullptr) {
        mosquitto_lib_cleanup();
        return;
    }
    // A clean stop says so itself rather than leaving it to the broker's will; the disconnect
    // waits until the broker has the message.
    std::unique_lock<std::mutex> lock(mutex_);
    if (connected_) {
        const std::string status = StatusTopic(config_.mqtt.prefix);
        int mid = 0;
        lock.unlock();
        const int rc =
            mosquitto_publish(mosq_, &mid, status.c_str(), 7, "offline", config_.mqtt.qos, true);
        lock.lock();
        if (rc == MOSQ_ERR_SUCCESS) {
            if (acked_.erase(mid) == 0) inFlight_.insert(mid);
            wake_.wait_for(lock, kOfflineWait, [&] { return inFlight_.count(mid) == 0; });
        }
        lock.unlock();
        if (mosquitto_disconnect(mosq_) == MOSQ_ERR_SUCCESS) {
            lock.lock();
            wake_.wait_for(lock, kOfflineWait, [&] { return !connected_; });
        }
    }
    if (lock.owns_lock()) lock.unlock();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        networkStopping_ = true;
    }
    wake_.notify_all();
    if (network_.joinable()) network_.join();
    mosquitto_destroy(mosq_);
    mosquitto_lib_cleanup();
}

void MqttPublisher::NetworkLoop() {
    const MqttConfig& mqtt = config_.mqtt;
    // Our own loop rather than mosquitto_loop_start: its thread gives up for good when the first
    // connection fails, and a service may well start before its broker.
    bool open = false;
    bool told = false;  // this outage is logged
    std::chrono::seconds delay{1};
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (networkStopping_) return;
            if (connected_) {
                delay = std::chrono::seconds(1);
                told = false;
            }
        }
        int rc = MOSQ_ERR_SUCCESS;
        if (!open) {
            rc = mosquitto_connect_async(mosq_, mqtt.host.c_str(), mqtt.port,
                                         static_cast<int>(mqtt.keepalive.count()));
            open = rc == MOSQ_ERR_SUCCESS;
        }
        // Short, so that a stop is seen soon; a publish from another thread wakes it at once.
        if (open) rc = mosquitto_loop(mosq_, 100, 1);
        if (rc == MOSQ_ERR_SUCCESS) continue;
        open = false;
        std::unique_lock<std::mutex> lock(mutex_);
        connected_ = false;
        // After our own disconnect on a stop, only the stop is awaited.
        if (!told && !stopping_) {
            Log(LogLevel::kWarning, "MQTT: no connection to the broker at " + Broker(mqtt) + " (" +
                                        mosquitto_strerror(rc) +
                                        "); retrying with backoff, readings queue meanwhile");
            told = true;
        }
        if (wake_.wait_for(lock, delay, [&] { return networkStopping_; })) return;
        delay = std::min(delay * 2, kMaxRetryDelay);
    }
}

void MqttPublisher::Publish(std::string_view line, const LiveCell& cell) {
    // Only a copy on the line worker's thread; the sender formats it.
    Message message;
    message.retain = true;
    message.line = line;
    message.reading = cell;
    Enqueue(std::move(message));
}

void MqttPublisher::Enqueue(Message message) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(message));
        if (queue_.size() > config_.mqtt.queueLimit) {
            queue_.pop_front();
            ++counters_.dropped;
        }
    }
    wake_.notify_all();
}

void MqttPublisher::EnqueueResult(const WriteRequest& write,
                                  const std::optional<WriteResult>& result) {
    Message message;
    message.topic = ResultTopic(config_.mqtt.prefix, write.target);
    message.payload = ResultPayload(result, write.request);
    Enqueue(std::move(message));
}

void MqttPublisher::SendLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] {
            return stopping_ || (connected_ && !queue_.empty() && inFlight_.size() < kWindow);
        });
        if (stopping_) return;
        Message message = std::move(queue_.front());
        queue_.pop_front();
        // Not under our lock: the network thread takes it in libmosquitto's callbacks.
        lock.unlock();
        if (message.reading) {
            const LiveCell& cell = *message.reading;
            message.topic =
                ReadingTopic(config_.mqtt.prefix, message.line, cell.station, cell.mnemonic);
            message.payload = ReadingPayload(cell);
            message.reading.reset();
        }
        int mid = 0;
        const int rc = mosquitto_publish(mosq_, &mid, message.topic.c_str(),
                                         static_cast<int>(message.payload.size()),
                                         message.payload.data(), config_.mqtt.qos, message.retain);
        lock.lock();
        if (rc == MOSQ_ERR_SUCCESS) {
            ++counters_.published;
            if (acked_.erase(mid) == 0) inFlight_.insert(mid);
        } else if (rc == MOSQ_ERR_NO_CONN) {
            // Lost between the wait and the call: kept for the next connection.
            queue_.push_front(std::move(message));
            connected_ = false;
        } else {
            ++counters_.dropped;
            Log(LogLevel::kWarning,
                "MQTT: cannot publish to " + message.topic + ": " + mosquitto_strerror(rc));
        }
    }
}

void MqttPublisher::StartWrites(ServiceRuntime& runtime) {
    if (!config_.mqtt.writes) return;
    {
        std::lock_guard<std::mutex> lock(writeMutex_);
        runtime_ = &runtime;
    }
    writer_ = std::thread([this] { WriteLoop(); });
}

void MqttPublisher::StopWrites() {
    {
        std::lock_guard<std::mutex> lock(writeMutex_);
        writesStopping_ = true;
    }
    writeWake_.notify_all();
    if (writer_.joinable()) writer_.join();
    std::lock_guard<std::mutex> lock(writeMutex_);
    runtime_ = nullptr;
}

void MqttPublisher::WriteLoop() {
    std::unique_lock<std::mutex> lock(writeMutex_);
    auto saidAt = std::chrono::steady_clock::now();
    for (;;) {
        // Wakes at least once a second to say how many writes a flood had answered at once.
        writeWake_.wait_for(lock, kOverflowReport,
                            [&] { return writesStopping_ || !writes_.empty(); });
        const auto now = std::chrono::steady_clock::now();
        if (overflowed_ > 0 && (writesStopping_ || now - saidAt >= kOverflowReport)) {
            Log(LogLevel::kWarning, "MQTT: " + std::to_string(overflowed_) +
                                        " write(s) answered no-answer at once since the last "
                                        "report: more than " +
                                        std::to_string(kWriteQueueLimit) + " were waiting");
            overflowed_ = 0;
            saidAt = now;
        }
        if (writesStopping_) return;
        if (writes_.empty()) continue;
        WriteRequest write = std::move(writes_.front());
        writes_.pop_front();
        lock.unlock();
        const std::optional<WriteResult> result =
            write.request.value ? std::optional(Write(write)) : std::nullopt;
        EnqueueResult(write, result);
        lock.lock();
    }
}

WriteResult MqttPublisher::Write(const WriteRequest& write) {
    // MQTT does not tell who published: the request's own id is what there is to go by.
    const std::string who =
        "MQTT" + (write.request.idJson.empty() ? "" : " id " + write.request.idJson);
    // Only what the configuration names writable on that meter; the gateway checks the rest.
    const WritableRegister target =
        runtime_->FindWritable(write.target.line, write.target.station, write.target.mnemonic);
    if (target.reg == nullptr) {
        const WriteResult refused{WriteOutcome::kNotWritable, std::nullopt};
        LogWrite(who, write.target.line, write.target.station, write.target.mnemonic,
                 *write.request.value, refused, "not configured writable");
        return refused;
    }
    return runtime_->Gateway(target.line)
        .Write(write.target.station, target.reg->index, *write.request.value, who);
}

MqttCounters MqttPublisher::Counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    MqttCounters counters = counters_;
    counters.connected = connected_;
    counters.queued = queue_.size();
    return counters;
}

void MqttPublisher::OnConnect(mosquitto* mosq, void* context, int rc) {
    auto* self = static_cast<MqttPublisher*>(context);
    const MqttConfig& mqtt = self->config_.mqtt;
    if (rc != 0) {
        Log(LogLevel::kWarning, "MQTT: the broker at " + Broker(mqtt) +
                                    " refused the connection: " + mosquitto_connack_string(rc));
        return;
    }
    const std::string status = StatusTopic(mqtt.prefix);
    int mid = 0;
    const bool online = mosquitto_publish(mosq, &mid, status.c_str(), 6, "online", mqtt.qos,
                                          true) == MOSQ_ERR_SUCCESS;
    if (mqtt.writes) {
        mosquitto_subscribe(mosq, nullptr, SetSubscription(mqtt.prefix).c_str(), mqtt.qos);
    }
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        // What libmosquitto still holds from the last connection it sends again by itself; our
        // window starts afresh rather than wait for acknowledgements that a broker which lost
        // everything may never send.
        self->inFlight_.clear();
        self->acked_.clear();
        if (online) self->inFlight_.insert(mid);  // its acknowledgement comes on this thread
        self->connected_ = true;
        if (++self->connects_ > 1) ++self->counters_.reconnects;
    }
    self->wake_.notify_all();
    Log(LogLevel::kNotice, "MQTT: connected to " + Broker(mqtt));
}

void MqttPublisher::OnDisconnect(mosquitto*, void* context, int) {
    auto* self = static_cast<MqttPublisher*>(context);
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->connected_ = false;
        // libmosquitto forgets QoS 0 messages not yet sent; QoS 1 ones it sends again.
        if (self->config_.mqtt.qos == 0) {
            self->inFlight_.clear();
            self->acked_.clear();
        }
    }
    self->wake_.notify_all();
}

void MqttPublisher::OnPublish(mosquitto*, void* context, int mid) {
    auto* self = static_cast<MqttPublisher*>(context);
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        // An acknowledgement can come before SendLoop has noted the id.
        if (self->inFlight_.erase(mid) == 0) self->acked_.insert(mid);
    }
    self->wake_.notify_all();
}

void MqttPublisher::OnMessage(mosquitto*, void* context, const mosquitto_message* message) {
    auto* self = static_cast<MqttPublisher*>(context);
    const MqttConfig& mqtt = self->config_.mqtt;
    // A retained .../set comes again with every new subscription (each start, each reload): a
    // command of the past, never acted on again. An empty one is how a retained one is cleared.
    if (!mqtt.writes || message->topic == nullptr || message->payloadlen == 0) return;
    if (message->retain) {
        Log(LogLevel::kWarning,
            std::string("MQTT: a retained write on ") + message->topic + " is not acted on");
        return;
    }
    std::optional<SetTarget> target = ParseSetTopic(mqtt.prefix, message->topic);
    if (!target) return;
    const std::string_view payload(static_cast<const char*>(message->payload),
                                   static_cast<std::size_t>(message->payloadlen));
    WriteRequest write{std::move(*target), ParseSetPayload(payload)};
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        ++self->counters_.writes;
    }
    {
        std::lock_guard<std::mutex> lock(self->writeMutex_);
        if (self->writes_.size() < kWriteQueueLimit) {
            self->writes_.push_back(std::move(write));
            self->writeWake_.notify_all();
            return;
        }
        // Said by the write thread once a second with a count, not once per message of a flood.
        ++self->overflowed_;
    }
    self->EnqueueResult(write, WriteResult{WriteOutcome::kNoAnswer, std::nullopt});
}

}  // namespace service
