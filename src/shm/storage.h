// The storage layer as the rest of the library calls it: domains, pools and
// blocks through their C++ core, never through the exported C doors.
//
// Each function is the body of the exported operation of the same meaning and
// runs under that operation's own trace guard, so a caller that includes the
// operation's steps records them under the operation's identifier, exactly as a
// call through the export would, without the export's second round of checks.
// The exports themselves are one-line shims over these. Arguments, codes and
// ownership are those of the exported operations (see quor/quor.h).
#pragma once

#include <cstdint>

#include "quor/host.h"
#include "quor/quor.h"

namespace quor::storage {

// ---- domains ------------------------------------------------------------------
uint32_t createDomain(const IpcResId *resId, void *address, uint64_t size, const ShmDomainOptions_t *options,
                      ShmDomainHandle_t **handleOut);
uint32_t connectDomain(const IpcResId *resId, void *address, const ShmDomainOptions_t *options,
                       ShmDomainHandle_t **handleOut);
uint32_t disconnectDomain(ShmDomainHandle_t **handleRef);
uint32_t freeDomain(ShmDomainHandle_t **handleRef, uint32_t freeMode);
uint32_t markDomainForDeletion(ShmDomainHandle_t *handle);
uint32_t latchDomain(ShmDomainHandle_t *handle);
uint32_t unlatchDomain(ShmDomainHandle_t *handle);
// Gives up a handle whose domain could not be disconnected or freed (a header
// that no longer passes its checks): the segment object the handle owns is
// deleted, which unmaps the segment in this process (the segment itself stays),
// and the handle block is released. The shared header is not read or written.
// *handleRef becomes null on success; a null handle is nothing to do.
uint32_t dropDomainHandle(ShmDomainHandle_t **handleRef);
// Sizing of a heap region (kind 1 domain, 2 pool); see quorGetHHeaderInfo.
uint32_t heapHeaderInfo(uint64_t size, uint32_t kind, uint64_t *nodeCapacityRef, uint64_t *maxLevelRef,
                        uint64_t userAppAreaSize, uint64_t *hHeaderSizeOut, uint64_t *slHeaderSizeOut,
                        uint64_t *slSpaceSizeOut);

// ---- pools --------------------------------------------------------------------
uint32_t createPool(ShmPoolHandle_t **poolHandleOut, ShmDomainHandle_t *domainHandle, uint64_t poolSize,
                    const ShmPoolOptions_t *options, uint32_t callerId, uint32_t line, const char *fileName);
uint32_t connectPool(ShmPoolHandle_t **poolHandleOut, ShmDomainHandle_t *domainHandle,
                     uint64_t poolHeapOffset, const ShmPoolOptions_t *options);
uint32_t disconnectPool(ShmPoolHandle_t **poolHandleRef);
uint32_t freePool(ShmPoolHandle_t **poolHandleRef, uint32_t freeMode, uint32_t callerId, uint32_t line,
                  const char *fileName);
uint32_t latchPool(ShmPoolHandle_t *poolHandle);
uint32_t unlatchPool(ShmPoolHandle_t *poolHandle);
uint32_t poolInfo(ShmPoolHandle_t *poolHandle, ShmPoolInfo_t *infoOut);

// ---- blocks -------------------------------------------------------------------
uint32_t allocateBlock(void **addressOut, ShmPoolHandle_t *poolHandle, uint64_t size, uint64_t reserved,
                       uint32_t callerId, uint32_t line, const char *fileName);
uint32_t freeBlock(void **addressRef, ShmPoolHandle_t *poolHandle, uint32_t callerId, uint32_t line,
                   const char *fileName);

}  // namespace quor::storage
