// Reads the process value of station 1 on the port given:
//   read_pv /dev/ttyUSB0 [MODULE [LINE]]    LINE as 9600,8N1 or 9600,8N1,400 (the default)
#include <cstdio>

#include <qm4720/qm4720.hpp>

int main(int argc, char** argv) {
    const qm4720::LineSettingsResult line =
        qm4720::ParseLineSettings(argc > 3 ? argv[3] : "9600,8N1,400");
    if (line.error) {
        std::fprintf(stderr, "read_pv: %s\n", line.error.message.c_str());
        return 2;
    }
    qm4720::OpenOptions options{line.settings};
    options.port = argc > 1 ? argv[1] : "/dev/ttyUSB0";
    options.modulePath = argc > 2 ? argv[2] : "";  // "": the default module
    qm4720::Driver meter;
    if (qm4720::Error error = meter.Open(options)) {
        // The reason says why in English: no such device, permission denied, busy, ...
        std::fprintf(stderr, "read_pv: %s (%s)\n", error.message.c_str(), error.reason.c_str());
        return 1;
    }
    const qm4720::Reading pv = meter.Read(1, "PV");
    if (!pv.ok()) {
        std::fprintf(stderr, "read_pv: %s (code %d)\n", pv.error.message.c_str(),
                     static_cast<int>(pv.error.code));
        return 1;
    }
    std::printf("PV = %g (quality %d, %.0f ms)\n", pv.value, pv.quality, pv.latency.count());
    return 0;
}
