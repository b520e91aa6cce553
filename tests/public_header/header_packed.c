/* A host that packs structures around the include: the header must refuse to compile, since the
 * module would read and write its records at other offsets than the host's. Compiled as C and as
 * C++ by the public_header_packed tests, which expect the header's layout check to fail. */
#pragma pack(push, 1)
#include <qm4720/qm4720.h>
#pragma pack(pop)

int qm4720_header_packed(void);
int qm4720_header_packed(void) {
    return (int)sizeof(QM4720IoRequest);
}
