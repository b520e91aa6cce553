// The bridge on Linux: the network side is a gensio (tcp, or telnet with RFC 2217 over tcp) with
// an event loop of its own, which the bridge's one thread runs; the terminal's master descriptor
// is watched by the same loop, so each byte is passed on as soon as either side has it and no
// other thread ever touches the gensio.
#include "host/oskit/bridge/port_bridge.h"

#include <gensio/gensio.h>
#include <gensio/gensio_os_funcs.h>
#include <gensio/gensio_unix.h>
#include <gensio/sergensio.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "host/oskit/posix/native_lines.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;

std::string GensioText(int err) {
    return gensio_err_to_str(err);
}

// How long the server may take to connect (and negotiate telnet), and to confirm each setting.
constexpr gensio_time kServerWait{5, 0};
constexpr gensio_time kSettingWait{2, 0};
// How often the loop looks at the stop request.
constexpr gensio_time kStopPoll{0, 50'000'000};

class GensioBridge final : public PortBridge {
public:
    GensioBridge(gensio_os_funcs* os, std::unique_ptr<PseudoTerminal> terminal)
        : os_(os), terminal_(std::move(terminal)), portName_(terminal_->path()) {}

    ~GensioBridge() override {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        terminal_.reset();
        gensio_os_funcs_free(os_);
    }

    const std::string& PortName() const override { return portName_; }
    bool Connected() const override { return !lost_; }
    BridgeTimes Times() const override {
        BridgeTimes times;
        times.connect = std::chrono::microseconds(connectUs_.load());
        const std::int64_t last = lastRoundTripUs_.load();
        if (last >= 0) times.lastRoundTrip = std::chrono::microseconds(last);
        times.roundTrips = roundTrips_.load();
        return times;
    }

    // Connects on the bridge's thread and, once connected, passes bytes there until stopped;
    // false with `error` set when the connection failed (the thread has ended then).
    bool Start(const NetworkPort& port, const LineSettings& line,
               const std::function<bool()>& keepWaiting, std::string& error);

private:
    static int OnEvent(gensio* io, void* self, int event, int err, unsigned char* buf,
                       gensiods* buflen, const char* const* auxdata);
    static void OnTerminalReadable(gensio_iod* iod, void* self);
    static void OnCleared(gensio_iod* iod, void* self);
    bool Connect(const NetworkPort& port, const LineSettings& line, std::string& error);
    // gensio_open_s waits as long as the system's TCP connect does (minutes for a server that
    // drops the packets): a line worker waits no longer than `limit`.
    int OpenWithin(gensio_time limit);
    bool SendSettings(const LineSettings& line, std::string& error);
    void FromSocket(const unsigned char* bytes, gensiods size);
    void FromTerminal();
    void SendPending();
    void Run();
    // On the bridge's thread, where a write to a closed socket cannot raise SIGPIPE: a telnet
    // close still speaks to the server.
    void Disconnect();

    gensio_os_funcs* os_;
    std::unique_ptr<PseudoTerminal> terminal_;
    const std::string portName_;
    gensio* io_ = nullptr;
    sergensio_b* serial_ = nullptr;
    gensio_iod* terminalIod_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> lost_{false};
    bool cleared_ = false;
    std::vector<unsigned char> pending_;  // read from the terminal, not yet taken by the socket
    bool awaitingReply_ = false;
    Clock::time_point requestSent_{};
    std::atomic<std::int64_t> connectUs_{0};
    std::atomic<std::int64_t> lastRoundTripUs_{-1};
    std::atomic<std::uint64_t> roundTrips_{0};
};

bool GensioBridge::Start(const NetworkPort& port, const LineSettings& line,
                         const std::function<bool()>& keepWaiting, std::string& error) {
    std::promise<std::string> connected;
    std::future<std::string> outcome = connected.get_future();
    thread_ = std::thread([this, port, line, &connected] {
        // A server that closes its end makes the next write fail with EPIPE on this thread
        // instead of ending the program that hosts the bridge.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        std::string failure;
        const bool ok = Connect(port, line, failure);
        if (!ok && failure.empty()) failure = "the connection failed";
        if (!ok) Disconnect();
        connected.set_value(failure);
        if (ok) Run();
        Disconnect();
    });
    while (outcome.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        if (keepWaiting && !keepWaiting()) stop_ = true;  // the connect gives up at its next look
    }
    error = outcome.get();
    if (error.empty()) return true;
    thread_.join();
    return false;
}

bool GensioBridge::Connect(const NetworkPort& port, const LineSettings& line, std::string& error) {
    const bool rfc2217 = port.scheme == NetworkScheme::kRfc2217;
    const std::string stack = std::string(rfc2217 ? "telnet(rfc2217=true)," : "") + "tcp," +
                              port.host + "," + std::to_string(port.port);
    // The name is resolved here, the connection made below: either way it is the connection
    // that failed (the caller names the port).
    if (const int err = str_to_gensio(stack.c_str(), os_, OnEvent, this, &io_); err != 0) {
        io_ = nullptr;
        error = "cannot connect: " + GensioText(err);
        return false;
    }
    const auto start = Clock::now();
    if (const int err = OpenWithin(kServerWait); err != 0) {
        error = "cannot connect: " + GensioText(err);
        return false;
    }
    // The telnet layer reads the server's answers to the settings only while reading is on.
    gensio_set_read_callback_enable(io_, true);
    if (rfc2217 && !SendSettings(line, error)) {
        error = "the server did not take the line's settings: " + error;
        return false;
    }
    connectUs_ =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    return true;
}

int GensioBridge::OpenWithin(gensio_time limit) {
    struct Opening {
        bool done = false;
        int err = 0;
    } opening;
    const auto opened = [](gensio*, int err, void* data) {
        auto& state = *static_cast<Opening*>(data);
        state.err = err;
        state.done = true;
    };
    if (const int err = gensio_open(io_, opened, &opening); err != 0) return err;
    const auto deadline =
        Clock::now() + std::chrono::seconds(limit.secs) + std::chrono::nanoseconds(limit.nsecs);
    while (!opening.done && Clock::now() < deadline && !stop_) {
        gensio_time wait = kStopPoll;
        gensio_os_funcs_service(os_, &wait);
    }
    if (!opening.done) {
        gensio_close_s(io_);  // the open callback runs then, with the close as its error
        gensio_free(io_);
        io_ = nullptr;
        return stop_ ? GE_LOCALCLOSED : GE_TIMEDOUT;
    }
    if (opening.err != 0) {
        gensio_free(io_);
        io_ = nullptr;
    }
    return opening.err;
}

bool GensioBridge::SendSettings(const LineSettings& line, std::string& error) {
    sergensio* serial = gensio_to_sergensio(io_);
    if (serial == nullptr || sergensio_b_alloc(serial, os_, &serial_) != 0) {
        error = "the connection has no serial port control";
        return false;
    }
    constexpr unsigned kParities[] = {SERGENSIO_PARITY_NONE, SERGENSIO_PARITY_ODD,
                                      SERGENSIO_PARITY_EVEN, SERGENSIO_PARITY_MARK,
                                      SERGENSIO_PARITY_SPACE};
    struct Setting {
        const char* what;
        int (*set)(sergensio_b*, int*, gensio_time*);
        int value;
    };
    const Setting settings[] = {
        {"baud", sergensio_baud_b_timeout, line.baud},
        {"data bits", sergensio_datasize_b_timeout, line.dataBits},
        {"parity", sergensio_parity_b_timeout,
         static_cast<int>(kParities[static_cast<int>(line.parity)])},
        {"stop bits", sergensio_stopbits_b_timeout, line.stopBits},
    };
    for (const Setting& setting : settings) {
        int value = setting.value;
        if (stop_) {
            error = "stopped";
            return false;
        }
        gensio_time wait = kSettingWait;
        if (const int err = setting.set(serial_, &value, &wait); err != 0) {
            error = std::string("setting the ") + setting.what + ": " + GensioText(err);
            return false;
        }
        // The server answers with what its port runs at now: a line at another setting would
        // garble every exchange, so it is refused here rather than found out by the meters.
        if (value != setting.value) {
            error = std::string("the server set the ") + setting.what + " to " +
                    std::to_string(value) + ", not " + std::to_string(setting.value);
            return false;
        }
    }
    return true;
}

int GensioBridge::OnEvent(gensio*, void* self, int event, int err, unsigned char* buf,
                          gensiods* buflen, const char* const*) {
    auto& bridge = *static_cast<GensioBridge*>(self);
    switch (event) {
        case GENSIO_EVENT_READ:
            if (err != 0) {
                bridge.lost_ = true;
                gensio_set_read_callback_enable(bridge.io_, false);
                return 0;
            }
            bridge.FromSocket(buf, *buflen);
            return 0;
        case GENSIO_EVENT_WRITE_READY:
            bridge.SendPending();
            return 0;
        default:
            return GE_NOTSUP;  // modem and line state reports: nothing the line needs
    }
}

void GensioBridge::FromSocket(const unsigned char* bytes, gensiods size) {
    if (size == 0) return;
    if (awaitingReply_) {
        awaitingReply_ = false;
        lastRoundTripUs_ =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - requestSent_)
                .count();
        ++roundTrips_;
    }
    // The driver reads what the terminal holds; a full terminal means nobody is reading, and the
    // write gives up after a few seconds rather than holding the loop for ever.
    if (!terminal_->line().WriteAll(std::span(bytes, static_cast<std::size_t>(size)))) {
        lost_ = true;
    }
}

void GensioBridge::FromTerminal() {
    std::uint8_t buffer[1024];
    std::string error;
    const long n = terminal_->line().Read(buffer, error);
    if (n <= 0) return;  // the bridge holds the terminal's other side, so it never ends here
    pending_.insert(pending_.end(), buffer, buffer + n);
    SendPending();
}

void GensioBridge::SendPending() {
    if (!pending_.empty()) {
        gensiods taken = 0;
        if (gensio_write(io_, &taken, pending_.data(), pending_.size(), nullptr) != 0) {
            lost_ = true;
            return;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(taken));
        requestSent_ = Clock::now();
        awaitingReply_ = true;
    }
    // While the socket holds bytes back, the terminal is not read: the driver's writes wait in
    // the terminal as they would on a slow line.
    const bool blocked = !pending_.empty();
    gensio_set_write_callback_enable(io_, blocked);
    os_->set_read_handler(terminalIod_, !blocked);
}

void GensioBridge::OnTerminalReadable(gensio_iod*, void* self) {
    static_cast<GensioBridge*>(self)->FromTerminal();
}

void GensioBridge::OnCleared(gensio_iod*, void* self) {
    static_cast<GensioBridge*>(self)->cleared_ = true;
}

void GensioBridge::Run() {
    const int fd = terminal_->line().native().fd;
    if (os_->add_iod(os_, GENSIO_IOD_DEV, fd, &terminalIod_) != 0) {
        lost_ = true;
        terminal_.reset();
        return;
    }
    os_->set_fd_handlers(terminalIod_, this, OnTerminalReadable, nullptr, nullptr, OnCleared);
    os_->set_read_handler(terminalIod_, true);
    gensio_set_read_callback_enable(io_, true);
    while (!stop_ && !lost_) {
        gensio_time wait = kStopPoll;
        gensio_os_funcs_service(os_, &wait);
    }
    gensio_set_read_callback_enable(io_, false);
    gensio_set_write_callback_enable(io_, false);
    os_->clear_fd_handlers(terminalIod_);
    while (!cleared_) {
        gensio_time wait = kStopPoll;
        gensio_os_funcs_service(os_, &wait);
    }
    os_->release_iod(terminalIod_);
    terminalIod_ = nullptr;
    // The server went away: hang the terminal up, so that the driver's next read fails at once
    // instead of waiting out its timeout on every meter.
    if (lost_) terminal_.reset();
}

void GensioBridge::Disconnect() {
    if (serial_ != nullptr) sergensio_b_free(serial_);
    serial_ = nullptr;
    if (io_ != nullptr) {
        gensio_close_s(io_);
        gensio_free(io_);
    }
    io_ = nullptr;
}

}  // namespace

std::shared_ptr<PortBridge> StartPortBridge(const NetworkPort& port, const LineSettings& line,
                                            std::string& error,
                                            const std::function<bool()>& keepWaiting) {
    // An event loop of the bridge's own, run by one thread at a time: no wake signal needed.
    gensio_os_funcs* os = nullptr;
    if (const int err = gensio_unix_funcs_alloc(nullptr, 0, &os); err != 0) {
        error = "cannot start the network side: " + GensioText(err);
        return nullptr;
    }
    // The driver sets the terminal up when it opens it, as it would a real port.
    std::unique_ptr<PseudoTerminal> terminal = OpenPseudoTerminal(error);
    if (terminal == nullptr) {
        gensio_os_funcs_free(os);
        return nullptr;
    }
    auto bridge = std::make_shared<GensioBridge>(os, std::move(terminal));
    if (!bridge->Start(port, line, keepWaiting, error)) return nullptr;
    return bridge;
}

}  // namespace host
