/*
 * Fixed-size block pool (contract in poolmgt.h).
 *
 * The descriptor, the area and the free stack are three kernel allocations made without
 * sleeping when the pool is created; a failure part-way releases what was already allocated.
 * Nothing is allocated or freed by the block operations.
 */
#include "poolmgt.h"

#include <stdint.h>
#include <sys/cmn_err.h>
#include <sys/kmem.h>

#include "debug.h"
#include "packetErrors.h"

struct PoolDescriptor {
    BYTE *pStart;         /* the area: ulBlockSize x ulBlockCount bytes, zeroed at creation */
    U32 ulBlockSize;      /* bytes per block */
    U32 ulBlockCount;     /* blocks in the area */
    BlockHandle *ppvFree; /* ulBlockCount block addresses; [ulStackTop ..] are the free ones */
    U32 ulStackTop;       /* blocks handed out */
};

namespace
{

size_t AreaSize(const PoolDescriptor *pPool)
{
    return static_cast<size_t>(pPool->ulBlockSize) * pPool->ulBlockCount;
}

/* Every block free again, in address order, so that the next allocations go upward. */
void FillFreeStack(PoolDescriptor *pPool)
{
    for (U32 i = 0; i < pPool->ulBlockCount; i++) {
        pPool->ppvFree[i] = pPool->pStart + static_cast<size_t>(i) * pPool->ulBlockSize;
    }
    pPool->ulStackTop = 0;
}

} // namespace

int AllocatePool(PoolHandle *phPool, U32 ulBlockSize, U32 ulCount)
{
    if (phPool == nullptr || ulBlockSize == 0 || ulCount == 0 || ulCount > SIZE_MAX / ulBlockSize ||
        ulCount > SIZE_MAX / sizeof(BlockHandle)) {
        printf("ERROR:  unable to allocate memory pool; invalid argument.\n");
        return PACKETERR_D_BAD_PARMS;
    }

    auto *pPool = static_cast<PoolDescriptor *>(kmem_zalloc(sizeof(PoolDescriptor), KM_NOSLEEP));
    if (pPool == nullptr) {
        return PACKETERR_NO_MEMORY;
    }
    _dlprintf(POOL_TRACE_LEVEL, "INFO:  allocated pool 0x%x.\n", AddressAs32(pPool));

    pPool->ulBlockSize = ulBlockSize;
    pPool->ulBlockCount = ulCount;
    pPool->pStart = static_cast<BYTE *>(kmem_zalloc(AreaSize(pPool), KM_NOSLEEP));
    pPool->ppvFree =
        static_cast<BlockHandle *>(kmem_zalloc(sizeof(BlockHandle) * ulCount, KM_NOSLEEP));
    if (pPool->pStart == nullptr || pPool->ppvFree == nullptr) {
        kmem_free(pPool->ppvFree, sizeof(BlockHandle) * ulCount);
        kmem_free(pPool->pStart, AreaSize(pPool));
        kmem_free(pPool, sizeof(PoolDescriptor));
        return PACKETERR_NO_MEMORY;
    }
    _dlprintf(POOL_TRACE_LEVEL,
              "INFO:  allocated pool 0x%x; start = 0x%x; blocksize = %d, count = %d.\n",
              AddressAs32(pPool), AddressAs32(pPool->pStart), static_cast<int>(ulBlockSize),
              static_cast<int>(ulCount));

    FillFreeStack(pPool);
    *phPool = pPool;
    return 0;
}

int FreePool(PoolHandle hPool)
{
    if (hPool == nullptr) {
        printf("ERROR:  unable to free memory pool; invalid argument.\n");
        return PACKETERR_D_BAD_PARMS;
    }
    if (hPool->ulStackTop != 0) {
        printf("WARNING:  freed pool 0x%x contains %d unfreed blocks.\n", AddressAs32(hPool),
               static_cast<int>(hPool->ulStackTop));
    }
    _dlprintf(POOL_TRACE_LEVEL,
              "INFO:  freed pool 0x%x; start = 0x%x; blocksize = %d, count = %d.\n",
              AddressAs32(hPool), AddressAs32(hPool->pStart), static_cast<int>(hPool->ulBlockSize),
              static_cast<int>(hPool->ulBlockCount));
    kmem_free(hPool->pStart, AreaSize(hPool));
    kmem_free(hPool->ppvFree, sizeof(BlockHandle) * hPool->ulBlockCount);
    kmem_free(hPool, sizeof(PoolDescriptor));
    return 0;
}

BlockHandle AllocateBlock(PoolHandle hPool)
{
    if (hPool == nullptr) {
        printf("ERROR:  block allocation failure; invalid argument.\n");
        return nullptr;
    }
    if (hPool->ulStackTop == hPool->ulBlockCount) {
        printf("ERROR:  block allocation failure; no free space in pool 0x%x.\n",
               AddressAs32(hPool));
        return nullptr;
    }
    BlockHandle pBlock = hPool->ppvFree[hPool->ulStackTop];
    hPool->ulStackTop++;
    _dlprintf(POOL_TRACE_LEVEL, "INFO:  allocated block 0x%x in pool 0x%x.\n", AddressAs32(pBlock),
              AddressAs32(hPool));
    return pBlock;
}

int FreeBlock(PoolHandle hPool, BlockHandle pBlock)
{
    if (hPool == nullptr || pBlock == nullptr) {
        printf("ERROR:  unable to free block; invalid argument.\n");
        return PACKETERR_D_BAD_PARMS;
    }
    /* Compared as integers: the block may lie anywhere, and only an address inside the area
     * may take part in pointer arithmetic with pStart. */
    const uintptr_t uStart = reinterpret_cast<uintptr_t>(hPool->pStart);
    const uintptr_t uBlock = reinterpret_cast<uintptr_t>(pBlock);
    if (uBlock < uStart || uBlock - uStart >= AreaSize(hPool) ||
        (uBlock - uStart) % hPool->ulBlockSize != 0) {
        printf("ERROR:  unable to free block:  0x%x is not a valid block.\n", AddressAs32(pBlock));
        return PACKETERR_D_BAD_PARMS;
    }
    if (hPool->ulStackTop == 0) {
        printf("ERROR:  unable to free block 0x%x in pool 0x%x; free-block stack overflow.\n",
               AddressAs32(pBlock), AddressAs32(hPool));
        return 0;
    }
    hPool->ulStackTop--;
    hPool->ppvFree[hPool->ulStackTop] = pBlock;
    _dlprintf(POOL_TRACE_LEVEL, "INFO:  freed block 0x%x in pool 0x%x.\n", AddressAs32(pBlock),
              AddressAs32(hPool));
    return 0;
}

int FreeAllBlocks(PoolHandle hPool)
{
    if (hPool == nullptr) {
        printf("ERROR:  unable to free pool blocks; invalid argument.\n");
        return PACKETERR_D_BAD_PARMS;
    }
    if (hPool->ulStackTop != 0) {
        FillFreeStack(hPool);
    }
    return 0;
}

U32 GetBlockCount(PoolHandle hPool)
{
    if (hPool == nullptr) {
        printf("ERROR:  unable to get block count; invalid argument.\n");
        return PACKETERR_D_BAD_PARMS;
    }
    return hPool->ulBlockCount;
}
