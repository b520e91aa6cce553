/* raw_interfaces: reads the process value (PV) of station 1 and prints it, through the driver
 * module's public C header only: loading the module, its class factory and its slot tables, with
 * no library of the project. (read_pv.c does the same in a few lines through the host library.)
 *
 *   raw_interfaces MODULE PORT
 *     MODULE  the driver module: /usr/lib/x86_64-linux-gnu/qm4720/qm4720.so, qm4720.dll
 *     PORT    the serial device: /dev/ttyUSB0, COM3 (or the port that qm4720sim announces)
 *
 * Prints "PV=<value>" and exits 0; on a failure prints the reason on stderr and exits 1. */
#include <stdio.h>
#include <string.h>

#include <qm4720/qm4720.h>

#ifdef _WIN32
/* LoadLibrary and GetProcAddress come with <windows.h>, which the header includes. */
static QM4720GetClassObjectFn OpenDriverModule(const char* path, void** module) {
    HMODULE handle = LoadLibraryA(path);
    *module = (void*)handle;
    if (handle == NULL) return NULL;
    return (QM4720GetClassObjectFn)(void (*)(void))GetProcAddress(handle, "DllGetClassObject");
}
static void CloseDriverModule(void* module) {
    FreeLibrary((HMODULE)module);
}
#else
#include <dlfcn.h>
static QM4720GetClassObjectFn OpenDriverModule(const char* path, void** module) {
    QM4720GetClassObjectFn entry = NULL;
    void* symbol;
    *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (*module == NULL) return NULL;
    symbol = dlsym(*module, "DllGetClassObject");
    /* ISO C has no cast from an object pointer to a function pointer; POSIX lets the bytes be
     * copied. */
    memcpy(&entry, &symbol, sizeof entry);
    return entry;
}
static void CloseDriverModule(void* module) {
    dlclose(module);
}
#endif

/* The index and data type of register `mnemonic` in the default model's table; -1 if absent. */
static int FindRegister(IDeviceDriver* driver, const char* mnemonic, uint16_t* dataType) {
    const QM4720RegisterDescriptor* table = NULL;
    int32_t count = 0;
    int32_t i;
    if (!driver->lpVtbl->GetRegisterTable(driver, "", &table, &count)) return -1;
    for (i = 0; i < count; ++i) {
        if (strcmp(table[i].mnemonic, mnemonic) == 0) {
            *dataType = table[i].dataType;
            return (int)i;
        }
    }
    return -1;
}

/* Opens `port` and reads PV of station 1 into *value; 0 on success, else prints the reason. */
static int ReadPv(IDeviceDriver* driver, IDeviceDriverEx* driverEx, const char* port,
                  double* value) {
    QM4720PortSettings settings;
    QM4720IoItem item;
    QM4720IoItemNode node;
    QM4720IoRequest request;
    uint16_t type = 0;
    const int index = FindRegister(driver, "PV", &type);
    int ok;
    if (index < 0) return fprintf(stderr, "raw_interfaces: no PV in the register table\n"), 1;

    memset(&settings, 0, sizeof settings);
    snprintf(settings.portName, sizeof settings.portName, "%s", port);
    settings.baudRate = 9600;
    settings.dataBits = 8;
    settings.stopBits = 1;
    settings.parity = 0; /* none */
    settings.replyTimeout = 1000;
    if (!driver->lpVtbl->OpenPort(driver, 0, &settings)) {
        /* The driver's texts are GBK: passed on as they are. */
        fprintf(stderr, "raw_interfaces: cannot open %s: %s\n", port,
                driver->lpVtbl->GetErrorText(driver));
        return 1;
    }

    memset(&item, 0, sizeof item);
    item.type = type;
    memset(&node, 0, sizeof node);
    node.item = &item;
    memset(&request, 0, sizeof request);
    request.station = 1;
    request.modelName = "";
    request.registerText = "PV";
    request.registerIndex = (int16_t)index;
    request.direction = QM4720_DIRECTION_READ;
    request.items.head = &node;
    request.items.tail = &node;
    request.items.count = 1;
    ok = driverEx->lpVtbl->ExecuteRequestEx(driverEx, &request);
    if (!ok) fprintf(stderr, "raw_interfaces: %s\n", driver->lpVtbl->GetErrorText(driver));
    driver->lpVtbl->ClosePort(driver);
    if (!ok) return 1;
    *value = type == QM4720_TYPE_FLOAT ? (double)item.value.asFloat : (double)item.value.asInt;
    return 0;
}

int main(int argc, char** argv) {
    void* module = NULL;
    QM4720GetClassObjectFn getClassObject;
    QM4720ClassFactory* factory = NULL;
    IDeviceDriver* driver = NULL;
    IDeviceDriverEx* driverEx = NULL;
    double pv = 0;
    int status = 1;
    HRESULT hr;

    if (argc != 3) {
        fprintf(stderr, "usage: raw_interfaces MODULE PORT\n");
        return 2;
    }
    getClassObject = OpenDriverModule(argv[1], &module);
    if (getClassObject == NULL) {
        fprintf(stderr, "raw_interfaces: cannot load %s or find DllGetClassObject in it\n",
                argv[1]);
        if (module != NULL) CloseDriverModule(module);
        return 1;
    }

    /* The factory, the driver object, and its second interface. */
    hr = getClassObject(&QM4720_CLSID_DRIVER, &QM4720_IID_CLASS_FACTORY, (void**)&factory);
    if (hr == 0) {
        hr = factory->lpVtbl->CreateInstance(factory, NULL, &QM4720_IID_DEVICE_DRIVER,
                                             (void**)&driver);
    }
    if (hr == 0) {
        hr =
            driver->lpVtbl->QueryInterface(driver, &QM4720_IID_DEVICE_DRIVER_EX, (void**)&driverEx);
    }
    if (hr == 0) {
        status = ReadPv(driver, driverEx, argv[2], &pv);
        if (status == 0) printf("PV=%g\n", pv);
    } else {
        fprintf(stderr, "raw_interfaces: cannot create the driver object (0x%08lX)\n",
                (unsigned long)hr);
    }

    /* Every reference given back before the module goes. */
    if (driverEx != NULL) driverEx->lpVtbl->Release(driverEx);
    if (driver != NULL) driver->lpVtbl->Release(driver);
    if (factory != NULL) factory->lpVtbl->Release(factory);
    CloseDriverModule(module);
    return status;
}
