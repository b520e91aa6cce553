// Reads the process value of station 1 on the port given: read_pv /dev/ttyUSB0 [MODULE]
#include <cstdio>

#include <qm4720/qm4720.hpp>

int main(int argc, char** argv) {
    qm4720::OpenOptions options;
    options.port = argc > 1 ? argv[1] : "/dev/ttyUSB0";
    options.modulePath = argc > 2 ? argv[2] : "";  // "": the module beside this program
    qm4720::Driver meter;
    if (qm4720::Error error = meter.Open(options)) {
        std::fprintf(stderr, "read_pv: %s\n", error.message.c_str());
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
