// The public header as a C++17 host sees it: on its own, every warning an error.
#include <qm4720/qm4720.h>

int qm4720_header_cxx17_check(IDeviceDriver* driver);
int qm4720_header_cxx17_check(IDeviceDriver* driver) {
    IDeviceDriverEx* ex = nullptr;
    return driver->lpVtbl->QueryInterface(driver, QM4720_IID_DEVICE_DRIVER_EX,
                                          reinterpret_cast<void**>(&ex)) == 0;
}
