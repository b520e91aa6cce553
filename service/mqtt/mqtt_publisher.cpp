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

constexpr std::chrono::seconds kOfflineWait{2};
constexpr std::chrono::seconds kMaxRetryDelay{30};

std::string Broker(const MqttConfig& mqtt) {
    return mqtt.host + ":" + std::to_string(mqtt.port);
}

}  // namespace

MqttPublisher::MqttPublisher(const ServiceConfig& config)
    : config_(config), format_(MakePayloadFormat(config_)), forward_(config_, NowUtcMs()) {
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
    if (forward_.Enabled()) {
        // What was acknowledged up to the stop, so that the next start sends again no more.
        std::unique_lock<std::mutex> lock(mutex_);
        nextMark_ = Clock::time_point{};
        nextReplay_ = Clock::time_point::max();
        ForwardStep(lock);
    }
    if (mosq_ == nullptr) {
        mosquitto_lib_cleanup();
        return;
    }
    // A clean stop says so itself rather than leaving it to the broker's will; the disconnect
    // waits until the broker has the message.
    std::unique_lock<std::mutex> lock(mutex_);
    if (connected_) {
        const OutgoingMessage bye = format_->Goodbye();
        int mid = 0;
        lock.unlock();
        const int rc =
            mosquitto_publish(mosq_, &mid, bye.topic.c_str(), static_cast<int>(bye.payload.size()),
                              bye.payload.data(), config_.mqtt.qos, bye.retain);
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
            // Each connection's own will (Sparkplug's carries its session's number).
            const OutgoingMessage will = format_->Will();
            mosquitto_will_set(mosq_, will.topic.c_str(), static_cast<int>(will.payload.size()),
                               will.payload.data(), mqtt.qos, will.retain);
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
    message.line = line;
    message.reading = cell;
    Enqueue(std::move(message));
}

void MqttPublisher::Enqueue(Message message) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(message));
        if (queue_.size() > config_.mqtt.queueLimit) {
            // With the history, a dropped reading is sent again from there later.
            if (forward_.Enabled() && queue_.front().reading) {
                forward_.Dropped(queue_.front().reading->utcMs);
            }
            queue_.pop_front();
            ++counters_.dropped;
        }
    }
    wake_.notify_all();
}

void MqttPublisher::EnqueueResult(const WriteRequest& write,
                                  const std::optional<WriteResult>& result) {
    std::optional<OutgoingMessage> answer = format_->Answer(write, result);
    if (!answer) return;
    Message message;
    message.ready = std::move(*answer);
    Enqueue(std::move(message));
}

void MqttPublisher::SendLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::vector<OutgoingMessage> out;
    const auto ready = [&] {
        return stopping_ ||
               (connected_ && (sessionPending_ || !commands_.empty() || !queue_.empty()) &&
                inFlight_.size() < kWindow);
    };
    for (;;) {
        if (forward_.Enabled()) {
            wake_.wait_until(lock, std::min(nextMark_, nextReplay_), [&] {
                return ready() || (ReplayDue() && Clock::now() >= nextReplay_);
            });
        } else {
            wake_.wait(lock, ready);
        }
        if (stopping_) return;
        if (forward_.Enabled()) ForwardStep(lock);
        if (!ready()) continue;
        // What a connection says first (a status, births) is not counted as published.
        const bool first = std::exchange(sessionPending_, false);
        std::optional<MqttCommand> command;
        Message message;
        if (!first && !commands_.empty()) {
            command = std::move(commands_.front());
            commands_.pop_front();
        } else if (!first) {
            message = std::move(queue_.front());
            queue_.pop_front();
            // A reading of a span the history sends again goes out from there, in its order.
            if (message.reading && forward_.Enabled() &&
                forward_.LeftToHistory(message.reading->utcMs)) {
                continue;
            }
        }
        // Not under our lock: the network thread takes it in libmosquitto's callbacks.
        lock.unlock();
        out.clear();
        std::optional<std::int64_t> readingUtc;
        if (first) {
            format_->Connected(out);
        } else if (command) {
            format_->Command(*command, out);
        } else if (message.reading) {
            format_->Reading(message.line, *message.reading, out);
            readingUtc = message.reading->utcMs;
        } else {
            out.push_back(std::move(message.ready));
        }
        lock.lock();
        PublishOut(lock, out, first, readingUtc);
    }
}

void MqttPublisher::PublishOut(std::unique_lock<std::mutex>& lock,
                               std::vector<OutgoingMessage>& out, bool first,
                               std::optional<std::int64_t> readingUtc) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        const OutgoingMessage& m = out[i];
        lock.unlock();
        int mid = 0;
        const int rc =
            mosquitto_publish(mosq_, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                              m.payload.data(), config_.mqtt.qos, m.retain);
        lock.lock();
        if (rc == MOSQ_ERR_SUCCESS) {
            if (!first) ++counters_.published;
            const bool acked = acked_.erase(mid) != 0;
            if (!acked) inFlight_.insert(mid);
            if (readingUtc && forward_.Enabled()) {
                if (acked) {
                    forward_.AckedAt(*readingUtc);
                } else {
                    forward_.Sent(mid, *readingUtc);
                }
            }
        } else if (rc == MOSQ_ERR_NO_CONN) {
            // Lost between the wait and the call: the rest kept for the next connection.
            for (std::size_t k = out.size(); k-- > i;) {
                if (out[k].ofSession) continue;
                Message rest;
                rest.ready = std::move(out[k]);
                queue_.push_front(std::move(rest));
            }
            connected_ = false;
            break;
        } else {
            ++counters_.dropped;
            Log(LogLevel::kWarning,
                "MQTT: cannot publish to " + m.topic + ": " + mosquitto_strerror(rc));
        }
    }
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
    for (const std::string& topic : self->format_->Subscriptions()) {
        mosquitto_subscribe(mosq, nullptr, topic.c_str(), mqtt.qos);
    }
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        // What libmosquitto still holds from the last connection it sends again by itself; our
        // window starts afresh rather than wait for acknowledgements that a broker which lost
        // everything may never send.
        self->inFlight_.clear();
        self->acked_.clear();
        // What the format says first on a connection goes before anything queued.
        self->sessionPending_ = true;
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
        self->forward_.Acked(mid);
    }
    self->wake_.notify_all();
}

void MqttPublisher::OnMessage(mosquitto*, void* context, const mosquitto_message* message) {
    auto* self = static_cast<MqttPublisher*>(context);
    if (message->topic == nullptr) return;
    const std::string_view payload(static_cast<const char*>(message->payload),
                                   static_cast<std::size_t>(message->payloadlen));
    MqttCommand command = self->format_->Parse(message->topic, payload, message->retain);
    if (command.rebirth || command.hostOnline) {
        // The format's state is the sender's: it acts there, before the readings that wait.
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->commands_.push_back(command);
        }
        self->wake_.notify_all();
    }
    for (MqttWrite& write : command.writes) self->TakeWrite(std::move(write));
}

}  // namespace service
