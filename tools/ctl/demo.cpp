// `qm4720ctl demo`: a walk through the whole driver against the simulator on a new
// pseudo-terminal: tables, tag validation, opening the port, a probe, reads, a verified write, a
// short poll, a timeout on a silent station, and closing the port.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "host/child_process.h"
#include "host/module_loader.h"
#include "records/data_type.h"
#include "tools/ctl/command_support.h"
#include "tools/ctl/commands.h"
#include "tools/ctl/interrupt.h"
#include "host/error_outcomes.h"

namespace ctl {
namespace {

class Walk {
public:
    explicit Walk(host::DriverSession& session) : session_(session) {}

    void Heading(const char* title) {
        std::printf("\n== %d. %s ==\n", ++step_, title);
        std::fflush(stdout);
    }

    // One expectation of the walk; a miss makes the demo end with status 1.
    void Expect(bool met, const std::string& what) {
        std::printf("  %s %s\n", met ? "ok  " : "FAIL", what.c_str());
        std::fflush(stdout);
        if (!met) ++failures_;
    }

    std::string Message() const {
        std::string text = session_.ErrorText();
        for (char& c : text) {
            if (c == '\n') c = ' ';
        }
        const std::string gloss(host::Gloss(session_.ErrorCode()));
        return "\"" + text + "\"" + (gloss.empty() ? "" : " (" + gloss + ")");
    }

    int failures() const { return failures_; }

private:
    host::DriverSession& session_;
    int step_ = 0;
    int failures_ = 0;
};

std::optional<host::RegisterRef> Lookup(host::DriverSession& session, const std::string& model,
                                        const std::string& text) {
    std::string error;
    return session.Resolve(model, text, 0xFFFF, error);
}

}  // namespace

int RunDemo(const Options& options) {
    if (int status = kExitOk; !RedirectOutput(options, status)) return status;
    const std::string simulator =
        options.simulator.empty() ? host::ProgramDirectory() + "qm4720sim" : options.simulator;
    std::string error;
    auto child = host::StartChild({simulator, "--station", "1", "--station", "2:QM4720N", "--set",
                                   "1:SP=40", "--set", "1:PV=20", "--seed", "7"},
                                  error);
    if (!child) {
        std::fprintf(stderr, "qm4720ctl: demo: %s\n", error.c_str());
        return kExitModule;
    }
    std::string port;
    for (std::string line; child->ReadLine(line, 10000);) {
        if (line.rfind("PORT=", 0) == 0) port = line.substr(5);
        if (line == "READY") break;
    }
    if (port.empty()) {
        std::fprintf(stderr, "qm4720ctl: demo: the simulator did not report its port\n");
        return kExitFailure;
    }
    std::printf("simulator: stations 1 (default model) and 2 (QM4720N) on %s\n", port.c_str());

    auto session = host::DriverSession::Create(options.module, error);
    if (!session) {
        std::fprintf(stderr, "qm4720ctl: demo: cannot create the driver: %s\n", error.c_str());
        return kExitModule;
    }
    Walk walk(*session);
    const std::string qm = "QM4720N";

    walk.Heading("Register tables");
    const auto defaults = session->RegisterTable("");
    const auto qmTable = session->RegisterTable(qm);
    walk.Expect(defaults.size() == 62 && qmTable.size() == 58,
                "default model: " + std::to_string(defaults.size()) +
                    " registers, QM4720N: " + std::to_string(qmTable.size()));
    std::printf("  first registers of the default model:");
    for (std::size_t i = 0; i < 14 && i < defaults.size(); ++i) {
        std::printf(" %.2s%s", defaults[i].mnemonic, defaults[i].readOnly ? "*" : "");
    }
    std::printf("  (* read-only)\n");

    walk.Heading("Tag validation");
    auto pv = Lookup(*session, "", "PV");
    walk.Expect(pv && pv->index == 4 && pv->type == kTypeFloat,
                "PV of the default model: index 4, FLOAT");
    auto xp = Lookup(*session, qm, "XP");
    walk.Expect(xp && xp->index == 36, "XP of QM4720N: index 36 (29 in the default model)");
    std::string refused;
    const bool lowerCaseRefused = !session->Resolve("", "pv", 0xFFFF, refused);
    walk.Expect(lowerCaseRefused, "lower-case pv is refused: " + walk.Message());
    std::int32_t station = -1;
    IDeviceDriver* driver = session->Driver();
    walk.Expect(driver->lpVtbl->CheckStation(driver, "07", &station) == 1 && station == 7,
                "station text 07 is station 7");
    const bool stationRefused = driver->lpVtbl->CheckStation(driver, "1a", &station) == 0;
    walk.Expect(stationRefused, "station text 1a is refused: " + walk.Message());

    walk.Heading("Open the port");
    // The simulator's pseudo-terminal has a short name: it always fits the module's record.
    PortSettings settings{};
    host::PortSettingsFor(port, qm4720::ParseLineSettings("9600,8N1,400").settings, settings);
    walk.Expect(session->Open(settings, error), port + " at 9600 baud, 8N1, reply timeout 400 ms");

    walk.Heading("Probe stations 0..3");
    std::string found;
    for (int s = 0; s <= 3; ++s) {
        if (session->Probe("", static_cast<std::int16_t>(s))) {
            found += ' ';
            found += std::to_string(s);
        }
    }
    walk.Expect(found == " 1 2", "stations that answer:" + found);

    walk.Heading("Read PV");
    if (pv) {
        const host::Reading one = session->Read("", 1, *pv);
        walk.Expect(one.ok && one.quality == 192, "station 1 PV = " + NumberText(one.value) +
                                                      " (quality " + std::to_string(one.quality) +
                                                      ", " + FileTimeIso(one.fileTime) + ")");
        auto qmPv = Lookup(*session, qm, "PV");
        const host::Reading two = qmPv ? session->Read(qm, 2, *qmPv) : host::Reading{};
        walk.Expect(two.ok, "station 2 (QM4720N) PV = " + NumberText(two.value));
    }

    walk.Heading("Write SP and read it back");
    auto sp = Lookup(*session, "", "SP");
    if (sp) {
        const host::Reading written = session->Write("", 1, *sp, 55.5);
        walk.Expect(written.ok, "station 1 SP := 55.5 (acknowledged)");
        const host::Reading back = session->Read("", 1, *sp);
        walk.Expect(back.ok && std::fabs(back.value - 55.5) < 1e-4,
                    "read back SP = " + NumberText(back.value));
        std::printf(
            "  (PV and the other live values are read-only: qm4720ctl refuses writes to"
            " them, since the driver would answer them with success and send nothing)\n");
    }

    walk.Heading("Poll PV while it moves toward SP");
    if (pv) {
        int good = 0;
        for (int i = 0; i < 5 && !Interrupted(); ++i) {
            const host::Reading r = session->Read("", 1, *pv);
            std::printf("  %s  PV = %-10s %6.1f ms\n", NowIso().c_str(),
                        r.ok ? NumberText(r.value).c_str() : "-", r.latencyMs);
            good += r.ok ? 1 : 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }
        walk.Expect(good == 5, std::to_string(good) + " of 5 samples answered");
    }

    walk.Heading("A silent station");
    if (pv) {
        const auto start = std::chrono::steady_clock::now();
        const host::Reading silent = session->Read("", 3, *pv);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        walk.Expect(!silent.ok && silent.errorCode == driver::kErrorTimeout,
                    "station 3 PV fails after " + std::to_string(ms) + " ms: " + walk.Message());
    }

    walk.Heading("Close the port");
    session->Close();
    walk.Expect(true, "port closed; the driver object is released when the program ends");

    std::printf("\n%s\n", walk.failures() == 0 ? "demo finished: every step as expected"
                                               : "demo finished with failures");
    return walk.failures() == 0 ? kExitOk : kExitFailure;
}

}  // namespace ctl
