/* Entry points of the PCIe access library that q7m-uart loads by name
 * ("libPCIAccessDll.so"). Every access library of ours (the simulated board,
 * the sysfs library for real boards) implements exactly these. */
/* The declarations keep the layout of the C interface as published. */
/* clang-format off */
#ifndef PCIACCESSDLL_H
#define PCIACCESSDLL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int32_t InitPCIAccess(int32_t vendorId, int32_t deviceId, int32_t reserved);
int32_t Close(void);
int32_t ReadDW(uint32_t offset, int32_t bar);
int32_t WriteDW(uint32_t value, uint32_t offset, int32_t bar);
int32_t ReadW(uint32_t offset, int32_t bar);
int32_t WriteW(uint32_t value, uint32_t offset, int32_t bar);
int32_t ReadB(uint32_t offset, int32_t bar); /* the byte, 0 to 255 */
int32_t WriteB(uint32_t value, uint32_t offset, int32_t bar);
int32_t ReadDWBuffer(void *buffer, int32_t count, uint32_t offset, int32_t bar);
int32_t WriteDWBuffer(const void *buffer, int32_t count, uint32_t offset, int32_t bar);
int32_t AllocateMemory(void **address, int32_t size);
int32_t ReleaseMemory(void *address);
int32_t ReadWriteConfigSpace(void *buffer, int32_t count, int32_t offset, int32_t direction);
int32_t Mmap(void **base, int32_t reserved1, int32_t reserved2);
int32_t MUnmap(void *base);

#ifdef __cplusplus
}
#endif

#endif
/* clang-format on */
