/* qm4720_client.h: reading and writing the meters from C (C99 or later) through the host library,
 * which loads the driver module for the caller. Link the host library: `pkg-config --cflags --libs
 * qm4720`, or qm4720::host in CMake. For the module's own slot tables, see qm4720.h instead.
 *
 *   qm4720_t* meter = qm4720_open("/dev/ttyUSB0", "9600,8N1");
 *   double pv;
 *   if (meter == NULL) fprintf(stderr, "%s\n", qm4720_last_message(NULL));
 *   else if (qm4720_read(meter, 1, "PV", &pv) != 0) fprintf(stderr, "%s\n",
 *                                                           qm4720_last_message(meter));
 *   qm4720_close(meter);
 *
 * Results: the calls that can fail return -1 (qm4720_open NULL) and record why: a code
 * (qm4720_last_error) and an English message in UTF-8 that names what failed and carries the
 * driver's own text (qm4720_last_message). Nothing here throws, aborts or prints.
 *
 * Threads: calls on one handle are serialised by the library; several threads may share one,
 * each call waiting for the one before it. Each call also records its result for the calling
 * thread, which qm4720_last_error(NULL) and qm4720_last_message(NULL) give: the way to learn why
 * qm4720_open failed, and the reliable one when threads share a handle. On Windows, call a handle
 * from the thread that opened it only.
 *
 * Blocking: qm4720_open, qm4720_read and qm4720_write talk to the line and block the calling thread
 * for the exchange: up to the reply timeout plus the time on the wire. The others return at once.
 */
#ifndef QM4720_QM4720_CLIENT_H
#define QM4720_QM4720_CLIENT_H

#ifdef __cplusplus
extern "C" {
#endif

/* One driver module loaded and one serial port open on it. */
typedef struct qm4720_meter qm4720_t;

/* Why a call failed. 0..16 are the driver's own codes (the QM4720_ERROR_* of qm4720.h); 100 and
 * up are the host library's. */
enum qm4720_error_code {
    QM4720_E_NONE = -1,          /* the call succeeded */
    QM4720_E_REGISTER_NAME = 0,  /* not a register of the model's table */
    QM4720_E_STATION = 1,        /* station outside 0..99 */
    QM4720_E_REGISTER_RANGE = 2, /* register outside the model's table */
    QM4720_E_DATA_TYPE = 3,      /* the register's type is not one of those accepted */
    QM4720_E_TIMEOUT = 7,        /* the meter did not answer in time */
    QM4720_E_OPEN = 10,          /* the serial port could not be opened or used */
    QM4720_E_VALUE_RANGE = 12,   /* the value does not fit the meter's six-character field */
    QM4720_E_FORMAT = 13,        /* a request the meter's frame cannot carry */
    QM4720_E_REPLY = 15,         /* the reply was malformed or failed its block check */
    QM4720_E_BAUD_RANGE = 16,    /* the baud rate must be 300 to 9600 */
    QM4720_E_MODULE = 100,       /* the driver module could not be loaded */
    QM4720_E_USAGE = 101,        /* a wrong argument: NULL, a bad settings text, a read-only
                                    register, a value the register cannot take */
    QM4720_E_REFUSED = 102,      /* the meter refused the written value (NAK) */
    QM4720_E_MISMATCH = 103,     /* a written value read back differently */
    QM4720_E_NOT_OPEN = 104,     /* the handle has no open port */
    QM4720_E_OTHER = 105         /* the driver failed without a reason, or memory ran out */
};

/* Loads the driver module and opens `port` (/dev/ttyUSB0, COM3; at most 31 characters).
 * `settings` is NULL for the meters' factory settings, or comma-separated items in any order,
 * each at most once:
 *   9600             the baud rate, 300..9600 (default 9600)
 *   8N1              data bits 5..8, parity N O E M S, stop bits 1 or 2 (default 8N1)
 *   timeout=400      the reply timeout in milliseconds, 10..32767 (default 400)
 *   model=QM4720N    the meters' model (default: the default model)
 *   module=PATH      the driver module to load (default: beside the program, else installed)
 * e.g. "4800,7E2,timeout=1000". A handle, or NULL with the reason recorded for the calling
 * thread. */
qm4720_t* qm4720_open(const char* port, const char* settings);

/* Reads register `reg` ("PV") of `station` (0..99) into *value: 0, or -1 with *value unchanged. */
int qm4720_read(qm4720_t* meter, int station, const char* reg, double* value);

/* Writes `value` to register `reg` of `station`: 0 once the meter acknowledged it, else -1. A
 * FLOAT value with more digits than the meter's six-character field holds is rounded half away
 * from zero to fit; a value that does not fit even so, a non-whole INT value, and a read-only
 * register are refused (QM4720_E_USAGE) before the line. */
int qm4720_write(qm4720_t* meter, int station, const char* reg, double value);

/* Closes the port and unloads the module; NULL is ignored. The handle is invalid afterwards. */
void qm4720_close(qm4720_t* meter);

/* A short English reason for `code` (UTF-8, static storage); "unknown error code" for a code that
 * is none of the above. */
const char* qm4720_strerror(int code);

/* The code of the latest call on `meter` (QM4720_E_NONE when it succeeded); with NULL, of the
 * calling thread's latest call into this library. */
int qm4720_last_error(const qm4720_t* meter);

/* The message of the same call: what failed, with the driver's own text where it gave one (UTF-8);
 * "" after a success. Valid until the calling thread calls this library again. */
const char* qm4720_last_message(const qm4720_t* meter);

#ifdef __cplusplus
}
#endif

#endif /* QM4720_QM4720_CLIENT_H */
