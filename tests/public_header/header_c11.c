/* The public header as a C11 host sees it: it compiles on its own with every warning an error,
 * and a C compiler lays the records out at the host's byte offsets (the module's C++ code checks
 * the same offsets in records/). */
#include <qm4720/qm4720.h>

#define POINTERS32 (sizeof(void*) == 4)
#define CHECK_OFFSET(type, field, off32, off64) \
    _Static_assert(offsetof(type, field) == (POINTERS32 ? (off32) : (off64)), #type "." #field)
#define CHECK_SIZE(type, size32, size64) \
    _Static_assert(sizeof(type) == (POINTERS32 ? (size32) : (size64)), "sizeof " #type)

CHECK_OFFSET(QM4720PortSettings, replyTimeout, 46, 46);
CHECK_SIZE(QM4720PortSettings, 48, 48);
CHECK_OFFSET(QM4720RegisterDescriptor, readOnly, 20, 20);
CHECK_SIZE(QM4720RegisterDescriptor, 24, 24);
CHECK_OFFSET(QM4720TagSpec, typeMask, 160, 160);
CHECK_SIZE(QM4720TagSpec, 162, 162);
CHECK_OFFSET(QM4720TagBinding, descriptor, 44, 48);
CHECK_OFFSET(QM4720TagBinding, suffix, 56, 64);
CHECK_SIZE(QM4720TagBinding, 60, 72);
CHECK_OFFSET(QM4720IoItem, quality, 16, 16);
CHECK_OFFSET(QM4720IoItem, timestampHigh, 24, 24);
CHECK_SIZE(QM4720IoItem, 28, 28);
CHECK_SIZE(QM4720IoItemNode, 12, 24);
CHECK_OFFSET(QM4720IoRequest, registerText, 12, 16);
CHECK_OFFSET(QM4720IoRequest, direction, 32, 40);
CHECK_OFFSET(QM4720IoRequest, items.count, 48, 72);
CHECK_OFFSET(QM4720IoRequest, items.blockSize, 60, 96);
CHECK_SIZE(QM4720IoRequest, 64, 104);
CHECK_SIZE(IDeviceDriverVtbl, 14 * 4, 14 * 8);
CHECK_SIZE(IDeviceDriverExVtbl, 7 * 4, 7 * 8);
CHECK_SIZE(QM4720ClassFactoryVtbl, 5 * 4, 5 * 8);

/* A slot called the way a C host calls it, so that the argument types are checked too. */
int qm4720_header_c11_check(IDeviceDriver* driver);
int qm4720_header_c11_check(IDeviceDriver* driver) {
    IDeviceDriverEx* ex = 0;
    return driver->lpVtbl->QueryInterface(driver, &QM4720_IID_DEVICE_DRIVER_EX, (void**)&ex) == 0;
}
