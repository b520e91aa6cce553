/* qm4720.h: everything a host program needs to load the qm4720 driver module and call it, in C
 * (C11) or C++ (C++17), on Linux and on 32- and 64-bit Windows. Nothing else is needed: no other
 * header of the project and no library to link; the module is loaded at run time. (A C program
 * that would rather have the module loaded and called for it uses qm4720_client.h and links the
 * host library.)
 *
 * How a host uses the module:
 *   1. Load the module by its path (dlopen on Linux, LoadLibrary on Windows) and find its export
 *      DllGetClassObject (a QM4720GetClassObjectFn).
 *   2. Ask it for the class factory of QM4720_CLSID_DRIVER (interface QM4720_IID_CLASS_FACTORY)
 *      and create the driver object for QM4720_IID_DEVICE_DRIVER; QueryInterface gives
 *      IDeviceDriverEx from it. (On Windows, once registered with regsvr32, CoCreateInstance by
 *      QM4720_PROGID does the same.)
 *   3. OpenPort, then ExecuteRequest/ExecuteRequestEx with a QM4720IoRequest per register.
 *   4. Release every interface pointer, then the factory, then unload the module.
 *
 * Calls are made through the slot tables: obj->lpVtbl->Slot(obj, ...). Every slot takes the
 * interface pointer first and uses QM4720_CALL (__stdcall on 32-bit Windows).
 *
 * Results: the driver's own slots return 1 for success and 0 for failure unless stated; after a 0,
 * GetErrorText gives the reason, recorded by that call (QM4720DriverError). The exceptions, each
 * said again at its slot, are the zeros that record nothing and so leave the text of the failure
 * before: a null pointer argument (refused without any other effect), a write that the meter
 * answered with NAK through ExecuteRequestEx, the basic ExecuteRequest's write and out-of-range
 * read results, and a ClosePort whose handle names no open port any more. The last failure stays
 * recorded until a new one replaces it: no call clears it. The QueryInterface/AddRef/Release slots
 * and the factory follow the platform's rules (HRESULT, 0 is success, negative is failure).
 *
 * Threads: the driver creates no thread. Each exchange (ProbeDevice, ExecuteRequest,
 * ExecuteRequestEx) and ClosePort hold a lock of their port handle from start to end, so objects
 * that share a handle, and threads that share an object, may call at the same time: they wait for
 * each other instead of mixing their replies; calls on different ports never wait for each other.
 * The last failure belongs to the object, not to the calling thread: a thread that needs the reason
 * of its own 0 uses an object of its own. OpenPort and SetPortHandle change the object's port: no
 * other call may run on that object meanwhile. On Windows the class has no threading model: the
 * platform creates every object in the host's main single-threaded apartment.
 *
 * Ownership: every record a host passes in stays the host's; the driver keeps no pointer to it
 * after a call returns. Texts and tables that the driver hands out belong to the module and stay
 * valid until it is unloaded.
 *
 * Blocking: OpenPort, ProbeDevice and the ExecuteRequest slots wait on the serial line, for up to
 * the reply timeout of the port (QM4720PortSettings.replyTimeout) per exchange. An exchange also
 * waits for another one in progress on the same port handle, and, after an exchange on that port
 * ended without its answer, for the line to stay quiet long enough (at most 3 s, and for at most
 * twice that on a line that keeps talking) that the late answer cannot be taken for this one's.
 * ClosePort waits for an exchange in progress on its handle; every other slot returns at once.
 *
 * Records have one layout per pointer width: the byte offsets noted beside each field are
 * "32-bit / 64-bit", and the header checks them as it is compiled (Layout checks, at its end).
 * Fields named host... are bytes of the host that the driver never reads or writes. */
#ifndef QM4720_QM4720_H
#define QM4720_QM4720_H

#include <stddef.h>
#include <stdint.h>

/* ---- The platform's base types --------------------------------------------------------------
 * Windows: the platform's own (GUID, HRESULT, ULONG, BOOL, HANDLE). Elsewhere this header
 * declares them with the same names, widths and values. There a port HANDLE names an entry of
 * the module's own table of open ports, never a file descriptor: it is valid in this process
 * only, and once its port is closed every call on it fails (the open error below) and reaches no
 * other line or file. */
#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#define QM4720_CALL STDMETHODCALLTYPE
#else
#define QM4720_CALL
typedef int32_t HRESULT;
typedef uint32_t ULONG;
typedef int32_t BOOL;
typedef int32_t HANDLE;
typedef struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
/* As the platform declares them: a reference in C++, a pointer in C. */
#ifdef __cplusplus
#define REFIID const IID&
#define REFCLSID const CLSID&
#else
#define REFIID const IID*
#define REFCLSID const CLSID*
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Identifiers ---------------------------------------------------------------------------
 * Each value is given once as an initializer (..._INIT, for constant expressions) and as a
 * constant of every translation unit that includes this header. */
/* clang-format off */
#define QM4720_CLSID_DRIVER_INIT \
    {0x352E65A1, 0x594C, 0x4A27, {0x8B, 0x35, 0x12, 0x93, 0xDA, 0xBC, 0x88, 0x43}}
#define QM4720_IID_DEVICE_DRIVER_INIT \
    {0x9C57C8FB, 0x38E0, 0x4CA7, {0x9B, 0x00, 0xB7, 0xCD, 0xE5, 0x81, 0x8B, 0xBF}}
#define QM4720_IID_DEVICE_DRIVER_EX_INIT \
    {0xF7DECE2A, 0x3CBC, 0x4BC3, {0x98, 0x39, 0x99, 0xFC, 0x1E, 0xB3, 0x2F, 0x91}}
/* The platform's own IUnknown and IClassFactory, with their standard values. */
#define QM4720_IID_UNKNOWN_INIT \
    {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}}
#define QM4720_IID_CLASS_FACTORY_INIT \
    {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}}
/* clang-format on */

/* The class of the driver object. */
static const CLSID QM4720_CLSID_DRIVER = QM4720_CLSID_DRIVER_INIT;
/* The driver's two interfaces. */
static const IID QM4720_IID_DEVICE_DRIVER = QM4720_IID_DEVICE_DRIVER_INIT;
static const IID QM4720_IID_DEVICE_DRIVER_EX = QM4720_IID_DEVICE_DRIVER_EX_INIT;
static const IID QM4720_IID_UNKNOWN = QM4720_IID_UNKNOWN_INIT;
static const IID QM4720_IID_CLASS_FACTORY = QM4720_IID_CLASS_FACTORY_INIT;
/* The programmatic identifier that registration (DllRegisterServer, regsvr32) records. */
#define QM4720_PROGID "QM4720.QM4720Pro"
/* The model name that selects the QM4720N register table (ASCII case ignored); any other name,
 * the empty one included, selects the default model. */
#define QM4720_MODEL_N "QM4720N"

/* ---- Codes ----------------------------------------------------------------------------------
 * DataType: the 16-bit code of a value's type, one bit per type. Register tables, the accepted
 * type mask of a tag and the type field of an item use these codes. */
enum QM4720DataType {
    QM4720_TYPE_BIT = 1,
    QM4720_TYPE_BYTE = 2,
    QM4720_TYPE_INT = 4,
    QM4720_TYPE_UINT = 8,
    QM4720_TYPE_BCD = 16,
    QM4720_TYPE_LONG = 32,
    QM4720_TYPE_LONG_BCD = 64,
    QM4720_TYPE_FLOAT = 128,
    QM4720_TYPE_STRING = 256
};

/* DriverError: the kind of the last failure, which selects the text of GetErrorText (GBK). A
 * write to the port that the system refused (mostly a port not, or no longer, open) records the
 * system's own code, and GetErrorText then gives the text of QM4720_ERROR_OPEN. */
enum QM4720DriverError {
    QM4720_ERROR_NONE = -1,          /* no failure recorded yet */
    QM4720_ERROR_REGISTER_NAME = 0,  /* register text not in the model's table; for QM4720N
                                        requests, a text shorter than two characters */
    QM4720_ERROR_STATION = 1,        /* station text or number outside 0..99 */
    QM4720_ERROR_REGISTER_RANGE = 2, /* register index outside the model's table */
    QM4720_ERROR_DATA_TYPE = 3,      /* data type not accepted */
    QM4720_ERROR_TIMEOUT = 7,        /* no complete reply within the reply timeout, or the
                                        frame did not go out whole */
    QM4720_ERROR_OPEN = 10,          /* the port could not be opened or set up, or a write to
                                        it failed */
    QM4720_ERROR_VALUE_RANGE = 12,   /* value does not fit the six-character field */
    QM4720_ERROR_FORMAT = 13,        /* a request no frame can carry: a direction other than
                                        read or write, a write without an item, or a value
                                        type the model cannot send */
    QM4720_ERROR_REPLY = 15,         /* a read reply with a wrong block check, for another
                                        register, or whose value field is not a number */
    QM4720_ERROR_BAUD_RANGE = 16     /* baud rate outside 300..9600 */
};

/* Results of ParseRegister. */
enum QM4720ParseResult {
    QM4720_PARSE_ACCEPTED = 0,
    QM4720_PARSE_REGISTER_REFUSED = 1,
    QM4720_PARSE_TYPE_REFUSED = 0x8001
};

/* QM4720IoRequest.direction. */
enum QM4720Direction { QM4720_DIRECTION_READ = 0, QM4720_DIRECTION_WRITE = 1 };

/* The quality that ExecuteRequestEx stamps on every item of an accepted read. */
#define QM4720_QUALITY_GOOD 192

/* ---- Records --------------------------------------------------------------------------------
 * The serial settings that the host hands to OpenPort; read only during that call. 48 bytes. */
typedef struct QM4720PortSettings {
    uint8_t host0[4];     /*  0 /  0 */
    char portName[32];    /*  4 /  4: NUL-terminated device name (/dev/ttyUSB0, COM3), as is */
    int32_t baudRate;     /* 36 / 36: 300..9600 inclusive, any integer in that range */
    uint8_t dataBits;     /* 40 / 40: data bits per character, handed to the port as is */
    uint8_t host41;       /* 41 / 41 */
    int16_t stopBits;     /* 42 / 42: 2 selects two stop bits; every other value one */
    uint8_t parity;       /* 44 / 44: 0 none, 1 odd, 2 even, 3 mark, 4 space */
    uint8_t host45;       /* 45 / 45 */
    int16_t replyTimeout; /* 46 / 46: milliseconds; below 10 (zero, negative) selects 1000 */
} QM4720PortSettings;

/* One entry of a model's register table. The host reads the entries in place through the pointer
 * that GetRegisterTable hands out; the driver never changes one. 24 bytes. */
typedef struct QM4720RegisterDescriptor {
    char mnemonic[8];  /*  0: two ASCII characters, then NUL bytes up to 8 */
    int32_t suffixMin; /*  8: bounds of a numeric suffix after the mnemonic; 0 in every */
    int32_t suffixMax; /* 12: entry, so no register of either table takes a suffix */
    uint16_t dataType; /* 16: QM4720DataType of the register's value (INT or FLOAT) */
    uint16_t reserved; /* 18: 0 */
    int32_t readOnly;  /* 20: 1 for the live-value registers at indices 0..12, else 0 */
} QM4720RegisterDescriptor;

/* The input of ParseRegister; read only by the driver. 162 bytes. */
typedef struct QM4720TagSpec {
    char modelName[32];     /*   0: NUL-terminated model name of the tag's instrument */
    char registerText[128]; /*  32: NUL-terminated register text as the user entered it */
    uint16_t typeMask;      /* 160: QM4720DataType bits that the tag accepts */
} QM4720TagSpec;

/* The output of ParseRegister: the driver writes descriptor, registerIndex and suffix and no
 * other byte. 60 / 72 bytes. */
typedef struct QM4720TagBinding {
    uint8_t host0[44];                          /*  0 /  0 */
    const QM4720RegisterDescriptor* descriptor; /* 44 / 48: the matched entry of the module's
                                                   table; valid for the life of the module */
    int16_t registerIndex;                      /* 48 / 56: index of the matched entry */
    uint8_t host50[6];                          /* 50 / 58 */
    int16_t suffix; /* 56 / 64: numeric suffix; -1 for every register of both tables */
} QM4720TagBinding;

/* The value slot of an item. BIT is a 32-bit integer (0 or 1), INT a 16-bit signed integer in the
 * low two bytes (the upper two are left as they were), FLOAT a 32-bit IEEE single. */
typedef union QM4720ValueSlot {
    int32_t asBit;
    int16_t asInt;
    float asFloat;
    uint8_t bytes[4];
} QM4720ValueSlot;

/* One value of an exchange. The host owns, allocates and frees it. 28 bytes. */
typedef struct QM4720IoItem {
    uint8_t host0[2];          /*  0 */
    uint16_t reserved2;        /*  2: not read; the probe's own item sets it to 0 */
    uint16_t type;             /*  4: QM4720DataType; BIT, INT and FLOAT are decoded on a read */
    uint8_t host6[2];          /*  6 */
    QM4720ValueSlot value;     /*  8: a write sends this; ExecuteRequestEx and the QM4720N
                                      model's reads store the value read here */
    QM4720ValueSlot readValue; /* 12: ExecuteRequest stores default-model reads here */
    int16_t quality;           /* 16: QM4720_QUALITY_GOOD on every item of an accepted read
                                      through ExecuteRequestEx */
    uint8_t host18[2];         /* 18 */
    uint32_t timestampLow;     /* 20: file time of the reading (100 ns since 1601-01-01, UTC), */
    uint32_t timestampHigh;    /* 24: set together with quality */
} QM4720IoItem;

/* One node of the host's doubly linked item list. 12 / 24 bytes. */
typedef struct QM4720IoItemNode {
    struct QM4720IoItemNode* next;     /* 0 /  0: null ends the list */
    struct QM4720IoItemNode* previous; /* 4 /  8: not read */
    QM4720IoItem* item;                /* 8 / 16: a node without an item is passed over */
} QM4720IoItemNode;

/* The host's list of items. The driver reads only head and count: it visits at most count nodes
 * from head and stops early at a null next pointer. 28 / 56 bytes. */
typedef struct QM4720IoItemList {
    const void* operations;     /*  0 /  0: host */
    QM4720IoItemNode* head;     /*  4 /  8 */
    QM4720IoItemNode* tail;     /*  8 / 16: host */
    int32_t count;              /* 12 / 24 */
    QM4720IoItemNode* freeList; /* 16 / 32: host */
    void* blocks;               /* 20 / 40: host */
    int32_t blockSize;          /* 24 / 48: host */
} QM4720IoItemList;

/* One exchange with one register of one instrument: a read fills every item of the list, a
 * write sends the first item's value. The host owns, allocates and frees it and its items; the
 * driver writes only the values, quality and time stamps of the items. 64 / 104 bytes. */
typedef struct QM4720IoRequest {
    uint8_t host0[2];         /*  0 /  0 */
    int16_t station;          /*  2 /  2: 0..99 */
    uint32_t cookie;          /*  4 /  4: not read; the probe stores its third argument here */
    const char* modelName;    /*  8 /  8: QM4720_MODEL_N or any other name (default model) */
    const char* registerText; /* 12 / 16: the register's mnemonic, e.g. "PV" */
    int16_t registerIndex;    /* 16 / 24: index in the model's table, from ParseRegister */
    uint8_t host18[14];       /* 18 / 26: the probe zeroes bytes 6..13 of this */
    int16_t direction;        /* 32 / 40: QM4720_DIRECTION_READ or _WRITE; else refused */
    uint8_t host34[2];        /* 34 / 42 */
    QM4720IoItemList items;   /* 36 / 48 */
} QM4720IoRequest;

/* ---- Interfaces -----------------------------------------------------------------------------
 * An interface pointer points at a struct whose only member is the pointer to its slot table.
 * Slot order and argument counts are the contract; the numbers are the slot indices. */
typedef struct IDeviceDriver IDeviceDriver;
typedef struct IDeviceDriverEx IDeviceDriverEx;
typedef struct QM4720ClassFactory QM4720ClassFactory;

/* A reserved slot: takes three 32-bit arguments, reads none of them and changes nothing. */
typedef int32_t(QM4720_CALL* QM4720ReservedSlot)(void* self, int32_t, int32_t, int32_t);

typedef struct IDeviceDriverVtbl {
    /* 0: the platform's QueryInterface. Stores an added reference to the object's interface
     * `iid` (IUnknown, IDeviceDriver, IDeviceDriverEx) at *out and returns 0; for another
     * interface stores null and returns E_NOINTERFACE (0x80004002); E_POINTER (0x80004003) for
     * a null out. */
    HRESULT(QM4720_CALL* QueryInterface)(IDeviceDriver* self, REFIID iid, void** out);
    /* 1, 2: add and give back one reference; the object is destroyed when the last is given
     * back. That does not close its port: call ClosePort first. Each returns the new count, for
     * diagnostics only. */
    ULONG(QM4720_CALL* AddRef)(IDeviceDriver* self);
    ULONG(QM4720_CALL* Release)(IDeviceDriver* self);

    /* 3: the register table of `modelName`: stores the address of its first entry at *table and
     * its entry count at *count. The table is the module's constant data, valid until the module
     * is unloaded. Returns 1; 0 only for a null out-pointer. */
    int32_t(QM4720_CALL* GetRegisterTable)(IDeviceDriver* self, const char* modelName,
                                           const QM4720RegisterDescriptor** table, int32_t* count);

    /* 4: reads register EE of `station` (low 16 bits used) on the open port; 1 when the station
     * answered as required. `cookie` is passed through into the probe's request. Blocks for up
     * to the reply timeout. A station outside 0..99 is refused before the line with
     * QM4720_ERROR_STATION; a null model name returns 0 and records nothing. */
    int32_t(QM4720_CALL* ProbeDevice)(IDeviceDriver* self, const char* modelName, int32_t station,
                                      int32_t cookie);

    /* 5: validates a tag's register text against the model's table and fills *binding. Returns a
     * QM4720ParseResult; a refusal records QM4720_ERROR_REGISTER_NAME or _DATA_TYPE. */
    uint16_t(QM4720_CALL* ParseRegister)(IDeviceDriver* self, const QM4720TagSpec* tag,
                                         QM4720TagBinding* binding);

    /* 6: reserved, returns 1. */
    QM4720ReservedSlot Reserved6;

    /* 7: opens and sets up the serial port from *settings (read during the call only); `unused`
     * is not read. A failure records QM4720_ERROR_BAUD_RANGE (rate outside 300..9600) or
     * QM4720_ERROR_OPEN (the system refused the device or its settings); a null pointer returns
     * 0 and records nothing. */
    int32_t(QM4720_CALL* OpenPort)(IDeviceDriver* self, int32_t unused,
                                   const QM4720PortSettings* settings);

    /* 8: closes this object's port (also one adopted through SetPortHandle); 1 when closed or
     * nothing was open; 0, recording nothing, when the handle names no open port any more (it
     * was closed through another object that shared it). */
    int32_t(QM4720_CALL* ClosePort)(IDeviceDriver* self);

    /* 9: reserved, returns 1. 10: reserved, returns 0. */
    QM4720ReservedSlot Reserved9;
    QM4720ReservedSlot Reserved10;

    /* 11: one exchange: a read or write of one register; no time stamp or quality. Default-model
     * reads store into readValue and return 1 only when the value stored last lies in 0..6 (0
     * otherwise, recording nothing); default-model writes are sent but always return 0, whatever
     * the meter answered, and record nothing when it answered. QM4720N reads store into value
     * and return 1. Requests no frame can carry are refused as ExecuteRequestEx refuses them.
     * Blocks for up to the reply timeout. On a failure (timeout, NAK, wrong check, a field that
     * is no number) no item is changed. */
    int32_t(QM4720_CALL* ExecuteRequest)(IDeviceDriver* self, QM4720IoRequest* request);

    /* 12: accepts one or two decimal digits ("7", "07") and stores their number at *station;
     * any other text records QM4720_ERROR_STATION. A null pointer returns 0 and records
     * nothing. */
    int32_t(QM4720_CALL* CheckStation)(IDeviceDriver* self, const char* stationText,
                                       int32_t* station);

    /* 13: the text of the last failure (GBK, i.e. Simplified Chinese), or null when none was
     * recorded. The text belongs to the module and stays valid until it is unloaded. */
    const char*(QM4720_CALL* GetErrorText)(IDeviceDriver* self);
} IDeviceDriverVtbl;

typedef struct IDeviceDriverExVtbl {
    /* 0..2: as IDeviceDriver's. */
    HRESULT(QM4720_CALL* QueryInterface)(IDeviceDriverEx* self, REFIID iid, void** out);
    ULONG(QM4720_CALL* AddRef)(IDeviceDriverEx* self);
    ULONG(QM4720_CALL* Release)(IDeviceDriverEx* self);

    /* 3: one exchange, the host's usual entry: a read stores into value and every item of an
     * accepted read gets the current file time and QM4720_QUALITY_GOOD; returns 1. A write
     * returns 1 when the meter acknowledged it, 0 when it answered NAK (recording nothing, so
     * GetErrorText still gives the failure before). A write to a read-only register (indices
     * 0..12) and the register text "CommErr" return 1 without any traffic. A request that no
     * frame can carry is refused before the line: a station outside 0..99 with
     * QM4720_ERROR_STATION, a registerIndex outside the default model's table with
     * QM4720_ERROR_REGISTER_RANGE, a QM4720N registerText shorter than two characters with
     * QM4720_ERROR_REGISTER_NAME, another direction or a write without an item with
     * QM4720_ERROR_FORMAT. Blocks for up to the reply timeout. On a failure no item is
     * changed. A null request returns 0 and records nothing. */
    int32_t(QM4720_CALL* ExecuteRequestEx)(IDeviceDriverEx* self, QM4720IoRequest* request);

    /* 4: adopts the port handle at *handle, to share one port between objects (not checked: a
     * handle that names no open port fails each exchange with QM4720_ERROR_OPEN's text; a port
     * this object had open is not closed). Returns 1; 0 for a null pointer. */
    int32_t(QM4720_CALL* SetPortHandle)(IDeviceDriverEx* self, const HANDLE* handle);

    /* 5: reserved, returns 1. */
    QM4720ReservedSlot Reserved5;

    /* 6: stores this object's port handle at *handle (all bits set when none). Returns 1; 0 for a
     * null pointer. */
    int32_t(QM4720_CALL* GetPortHandle)(IDeviceDriverEx* self, HANDLE* handle);
} IDeviceDriverExVtbl;

struct IDeviceDriver {
    const IDeviceDriverVtbl* lpVtbl;
};

struct IDeviceDriverEx {
    const IDeviceDriverExVtbl* lpVtbl;
};

/* The platform's IClassFactory, as the module's factory presents it. */
typedef struct QM4720ClassFactoryVtbl {
    /* 0..2: IUnknown; the factory answers IUnknown and QM4720_IID_CLASS_FACTORY. */
    HRESULT(QM4720_CALL* QueryInterface)(QM4720ClassFactory* self, REFIID iid, void** out);
    ULONG(QM4720_CALL* AddRef)(QM4720ClassFactory* self);
    ULONG(QM4720_CALL* Release)(QM4720ClassFactory* self);
    /* 3: creates one driver object and stores its interface `iid` at *out (the caller holds the
     * only reference). `outer` must be null (no aggregation: CLASS_E_NOAGGREGATION, 0x80040110).
     * On a failure *out is null and nothing was created. */
    HRESULT(QM4720_CALL* CreateInstance)
    (QM4720ClassFactory* self, void* outer, REFIID iid, void** out);
    /* 4: nonzero keeps the module loaded (DllCanUnloadNow answers no), zero gives that back. */
    HRESULT(QM4720_CALL* LockServer)(QM4720ClassFactory* self, BOOL lock);
} QM4720ClassFactoryVtbl;

struct QM4720ClassFactory {
    const QM4720ClassFactoryVtbl* lpVtbl;
};

/* ---- The module's exports -------------------------------------------------------------------
 * Found by name after loading (dlsym, GetProcAddress); the types below are for those pointers.
 *
 * DllGetClassObject: stores the class factory of `clsid` (QM4720_CLSID_DRIVER) for interface
 * `iid` at *out, with a reference the caller gives back; CLASS_E_CLASSNOTAVAILABLE (0x80040111)
 * and null for another class. Returns at once.
 * DllCanUnloadNow: 0 (S_OK) when no object, factory or lock of the module is alive, else 1.
 * DllRegisterServer: records the class, its programmatic identifier and the module's path (on
 * Windows in the registry; on Linux in the user's registry file); 0 on success. */
typedef HRESULT(QM4720_CALL* QM4720GetClassObjectFn)(REFCLSID clsid, REFIID iid, void** out);
typedef HRESULT(QM4720_CALL* QM4720CanUnloadNowFn)(void);
typedef HRESULT(QM4720_CALL* QM4720RegisterServerFn)(void);

/* The file name of the module: installed under <prefix>/lib/qm4720/ on Linux, beside the
 * programs on Windows. */
#ifdef _WIN32
#define QM4720_MODULE_FILE "qm4720.dll"
#else
#define QM4720_MODULE_FILE "qm4720.so"
#endif

/* ---- Layout checks --------------------------------------------------------------------------
 * The module reads and writes these records at the byte offsets above. A packing pragma in force
 * around the #include (or a compiler option that packs structures) would move the fields, and the
 * module would then read and write the wrong bytes of the host's records without any error: such
 * a build fails here instead. */
#ifdef __cplusplus
#define QM4720_LAYOUT_ASSERT(condition, what) static_assert(condition, what)
#else
#define QM4720_LAYOUT_ASSERT(condition, what) _Static_assert(condition, what)
#endif
#define QM4720_BYTES(bytes32, bytes64) (sizeof(void*) == 4 ? (bytes32) : (bytes64))
#define QM4720_CHECK_OFFSET(record, field, offset32, offset64)                        \
    QM4720_LAYOUT_ASSERT(offsetof(record, field) == QM4720_BYTES(offset32, offset64), \
                         #record "." #field " is not where the module expects it (packing?)")
#define QM4720_CHECK_SIZE(record, size32, size64)                        \
    QM4720_LAYOUT_ASSERT(sizeof(record) == QM4720_BYTES(size32, size64), \
                         "sizeof " #record " is not what the module expects (packing?)")

#ifndef _WIN32
QM4720_CHECK_SIZE(GUID, 16, 16);
#endif
QM4720_CHECK_OFFSET(QM4720PortSettings, portName, 4, 4);
QM4720_CHECK_OFFSET(QM4720PortSettings, baudRate, 36, 36);
QM4720_CHECK_OFFSET(QM4720PortSettings, dataBits, 40, 40);
QM4720_CHECK_OFFSET(QM4720PortSettings, stopBits, 42, 42);
QM4720_CHECK_OFFSET(QM4720PortSettings, parity, 44, 44);
QM4720_CHECK_OFFSET(QM4720PortSettings, replyTimeout, 46, 46);
QM4720_CHECK_SIZE(QM4720PortSettings, 48, 48);

QM4720_CHECK_OFFSET(QM4720RegisterDescriptor, suffixMin, 8, 8);
QM4720_CHECK_OFFSET(QM4720RegisterDescriptor, suffixMax, 12, 12);
QM4720_CHECK_OFFSET(QM4720RegisterDescriptor, dataType, 16, 16);
QM4720_CHECK_OFFSET(QM4720RegisterDescriptor, reserved, 18, 18);
QM4720_CHECK_OFFSET(QM4720RegisterDescriptor, readOnly, 20, 20);
QM4720_CHECK_SIZE(QM4720RegisterDescriptor, 24, 24);

QM4720_CHECK_OFFSET(QM4720TagSpec, registerText, 32, 32);
QM4720_CHECK_OFFSET(QM4720TagSpec, typeMask, 160, 160);
QM4720_CHECK_SIZE(QM4720TagSpec, 162, 162);

QM4720_CHECK_OFFSET(QM4720TagBinding, descriptor, 44, 48);
QM4720_CHECK_OFFSET(QM4720TagBinding, registerIndex, 48, 56);
QM4720_CHECK_OFFSET(QM4720TagBinding, suffix, 56, 64);
QM4720_CHECK_SIZE(QM4720TagBinding, 60, 72);

QM4720_CHECK_SIZE(QM4720ValueSlot, 4, 4);
QM4720_CHECK_OFFSET(QM4720IoItem, reserved2, 2, 2);
QM4720_CHECK_OFFSET(QM4720IoItem, type, 4, 4);
QM4720_CHECK_OFFSET(QM4720IoItem, value, 8, 8);
QM4720_CHECK_OFFSET(QM4720IoItem, readValue, 12, 12);
QM4720_CHECK_OFFSET(QM4720IoItem, quality, 16, 16);
QM4720_CHECK_OFFSET(QM4720IoItem, timestampLow, 20, 20);
QM4720_CHECK_OFFSET(QM4720IoItem, timestampHigh, 24, 24);
QM4720_CHECK_SIZE(QM4720IoItem, 28, 28);

QM4720_CHECK_OFFSET(QM4720IoItemNode, previous, 4, 8);
QM4720_CHECK_OFFSET(QM4720IoItemNode, item, 8, 16);
QM4720_CHECK_SIZE(QM4720IoItemNode, 12, 24);

QM4720_CHECK_OFFSET(QM4720IoItemList, head, 4, 8);
QM4720_CHECK_OFFSET(QM4720IoItemList, tail, 8, 16);
QM4720_CHECK_OFFSET(QM4720IoItemList, count, 12, 24);
QM4720_CHECK_OFFSET(QM4720IoItemList, freeList, 16, 32);
QM4720_CHECK_OFFSET(QM4720IoItemList, blocks, 20, 40);
QM4720_CHECK_OFFSET(QM4720IoItemList, blockSize, 24, 48);
QM4720_CHECK_SIZE(QM4720IoItemList, 28, 56);

QM4720_CHECK_OFFSET(QM4720IoRequest, station, 2, 2);
QM4720_CHECK_OFFSET(QM4720IoRequest, cookie, 4, 4);
QM4720_CHECK_OFFSET(QM4720IoRequest, modelName, 8, 8);
QM4720_CHECK_OFFSET(QM4720IoRequest, registerText, 12, 16);
QM4720_CHECK_OFFSET(QM4720IoRequest, registerIndex, 16, 24);
QM4720_CHECK_OFFSET(QM4720IoRequest, direction, 32, 40);
QM4720_CHECK_OFFSET(QM4720IoRequest, items, 36, 48);
QM4720_CHECK_SIZE(QM4720IoRequest, 64, 104);

QM4720_CHECK_SIZE(IDeviceDriverVtbl, 14 * 4, 14 * 8);
QM4720_CHECK_SIZE(IDeviceDriverExVtbl, 7 * 4, 7 * 8);
QM4720_CHECK_SIZE(QM4720ClassFactoryVtbl, 5 * 4, 5 * 8);

#undef QM4720_CHECK_SIZE
#undef QM4720_CHECK_OFFSET
#undef QM4720_BYTES
#undef QM4720_LAYOUT_ASSERT

#ifdef __cplusplus
}
#endif

#endif /* QM4720_QM4720_H */
