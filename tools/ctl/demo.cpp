// `qm4720ctl demo`: a walk through the whole driver against the simulator on a new
// pseudo-terminal: tables, tag validation, opening the port, a probe, reads, a verified write, a
// short poll, a timeout on a silent station, and closing the port.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "host/oskit/child_process.h"
#include "host/client/error_outcomes.h"
#include "host/client/module_loader.h"
#include "tools/ctl/command_support.h"
#include "tools/ctl/commands.h"
#include "tools/ctl/interrupt.h"

namespace ctl {
namespace {

class Walk {
public:
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

    // The driver's own text of a refusal, quoted, then what its code means.
    static std::string Message(const qm4720::Error& error) {
        std::string text = error.driverText;
        for (char& c : text) {
            if (c == '\n') c = ' ';
        }
        const std::string gloss(host::Gloss(static_cast<std::int32_t>(error.code)));
        return "\"" + text + "\"" + (gloss.empty() ? "" : " (" + gloss + ")");
    }

    int failures() const { return failures_; }

private:
    int step_ = 0;
    int failures_ = 0;
};

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

    qm4720::Driver driver;
    // Loading again with the same module changes the model only; the port stays open.
    auto useModel = [&](const std::string& model) {
        return options.module.progId.empty() ? driver.Load(options.module.modulePath, model)
                                             : driver.LoadByProgId(options.module.progId, model);
    };
    if (const qm4720::Error loaded = useModel("")) {
        std::fprintf(stderr, "qm4720ctl: demo: cannot create the driver: %s\n",
                     loaded.driverText.c_str());
        return kExitModule;
    }
    Walk walk;
    const std::string qm = "QM4720N";

    walk.Heading("Register tables");
    const auto defaults = driver.Table("");
    const auto qmTable = driver.Table(qm);
    walk.Expect(defaults.size() == 62 && qmTable.size() == 58,
                "default model: " + std::to_string(defaults.size()) +
                    " registers, QM4720N: " + std::to_string(qmTable.size()));
    std::printf("  first registers of the default model:");
    for (std::size_t i = 0; i < 14 && i < defaults.size(); ++i) {
        std::printf(" %s%s", defaults[i].mnemonic.c_str(), defaults[i].readOnly ? "*" : "");
    }
    std::printf("  (* read-only)\n");

    walk.Heading("Tag validation");
    const qm4720::RegisterResult pv = driver.ParseRegister("PV");
    walk.Expect(!pv.error && pv.reg.index == 4 && pv.reg.type == qm4720::DataType::kFloat,
                "PV of the default model: index 4, FLOAT");
    useModel(qm);
    const qm4720::RegisterResult xp = driver.ParseRegister("XP");
    useModel("");
    walk.Expect(!xp.error && xp.reg.index == 36,
                "XP of QM4720N: index 36 (29 in the default model)");
    const qm4720::RegisterResult lowerCase = driver.ParseRegister("pv");
    walk.Expect(bool(lowerCase.error),
                "lower-case pv is refused: " + Walk::Message(lowerCase.error));
    const qm4720::StationResult seven = driver.CheckStation("07");
    walk.Expect(!seven.error && seven.station == 7, "station text 07 is station 7");
    const qm4720::StationResult refusedStation = driver.CheckStation("1a");
    walk.Expect(bool(refusedStation.error),
                "station text 1a is refused: " + Walk::Message(refusedStation.error));

    walk.Heading("Open the port");
    qm4720::OpenOptions open{qm4720::ParseLineSettings("9600,8N1,400").settings};
    open.port = port;
    open.modulePath = options.module.modulePath;
    open.progId = options.module.progId;
    walk.Expect(!driver.Open(open), port + " at 9600 baud, 8N1, reply timeout 400 ms");

    walk.Heading("Probe stations 0..3");
    std::string found;
    for (int s : driver.Probe({0, 3}).answered) {
        found += ' ';
        found += std::to_string(s);
    }
    walk.Expect(found == " 1 2", "stations that answer:" + found);

    const bool pvKnown = !pv.error;
    walk.Heading("Read PV");
    if (pvKnown) {
        const qm4720::Reading one = driver.Read(1, "PV");
        walk.Expect(one.ok() && one.quality == 192,
                    "station 1 PV = " + NumberText(one.value) + " (quality " +
                        std::to_string(one.quality) + ", " +
                        (one.ok() ? FileTimeIso(FileTimeOf(one.time)) : std::string()) + ")");
        useModel(qm);
        const qm4720::Reading two = driver.Read(2, "PV");
        useModel("");
        walk.Expect(two.ok(), "station 2 (QM4720N) PV = " + NumberText(two.value));
    }

    walk.Heading("Write SP and read it back");
    if (!driver.ParseRegister("SP").error) {
        const qm4720::Reading written = driver.Write(1, "SP", 55.5);
        walk.Expect(written.ok(), "station 1 SP := 55.5 (acknowledged)");
        const qm4720::Reading back = driver.Read(1, "SP");
        walk.Expect(back.ok() && std::fabs(back.value - 55.5) < 1e-4,
                    "read back SP = " + NumberText(back.value));
        std::printf(
            "  (PV and the other live values are read-only: qm4720ctl refuses writes to"
            " them, since the driver would answer them with success and send nothing)\n");
    }

    walk.Heading("Poll PV while it moves toward SP");
    if (pvKnown) {
        int good = 0;
        for (int i = 0; i < 5 && !Interrupted(); ++i) {
            const qm4720::Reading r = driver.Read(1, "PV");
            std::printf("  %s  PV = %-10s %6.1f ms\n", NowIso().c_str(),
                        r.ok() ? NumberText(r.value).c_str() : "-", r.latency.count());
            good += r.ok() ? 1 : 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }
        walk.Expect(good == 5, std::to_string(good) + " of 5 samples answered");
    }

    walk.Heading("A silent station");
    if (pvKnown) {
        const auto start = std::chrono::steady_clock::now();
        const qm4720::Reading silent = driver.Read(3, "PV");
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        walk.Expect(!silent.ok() && silent.error.code == qm4720::ErrorCode::kTimeout,
                    "station 3 PV fails after " + std::to_string(ms) +
                        " ms: " + Walk::Message(silent.error));
    }

    walk.Heading("Close the port");
    driver.Close();
    walk.Expect(true, "port closed; the driver object is released when the program ends");

    std::printf("\n%s\n", walk.failures() == 0 ? "demo finished: every step as expected"
                                               : "demo finished with failures");
    return walk.failures() == 0 ? kExitOk : kExitFailure;
}

}  // namespace ctl
