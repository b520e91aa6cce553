/* The public header as a C11 host sees it: it compiles on its own with every warning an error,
 * which also proves its own layout checks hold for this compiler and pointer width. */
#include <qm4720/qm4720.h>

/* A slot called the way a C host calls it, so that the argument types are checked too. */
int qm4720_header_c11_check(IDeviceDriver* driver);
int qm4720_header_c11_check(IDeviceDriver* driver) {
    IDeviceDriverEx* ex = 0;
    return driver->lpVtbl->QueryInterface(driver, &QM4720_IID_DEVICE_DRIVER_EX, (void**)&ex) == 0;
}
