#include "platform/platform.h"

// The standard values of the component platform's base interfaces.
const IID IID_IUnknown = QM4720_IID_UNKNOWN_INIT;
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IClassFactory = QM4720_IID_CLASS_FACTORY_INIT;
const IID IID_NULL = {0x00000000, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}};
