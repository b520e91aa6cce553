/* read_pv: reads the process value (PV) of station 1 through the C face of the host library.
 *   read_pv PORT [SETTINGS]    e.g. read_pv /dev/ttyUSB0 "9600,8N1,timeout=400"
 * Prints "PV=<value>" and exits 0; on a failure prints the reason on stderr and exits 1. */
#include <stdio.h>

#include <qm4720/qm4720_client.h>

int main(int argc, char** argv) {
    double pv = 0;
    qm4720_t* meter = qm4720_open(argc > 1 ? argv[1] : "/dev/ttyUSB0", argc > 2 ? argv[2] : NULL);
    if (meter == NULL || qm4720_read(meter, 1, "PV", &pv) != 0) {
        fprintf(stderr, "read_pv: %s (%s)\n", qm4720_last_message(meter),
                qm4720_strerror(qm4720_last_error(meter)));
        qm4720_close(meter);
        return 1;
    }
    printf("PV=%g\n", pv);
    qm4720_close(meter);
    return 0;
}
