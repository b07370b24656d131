/*
 * Fixed-size block pool: storage for a fixed number of equal blocks, allocated once when the
 * pool is created, so that its users never allocate afterwards (the filter set's elements and
 * its tree nodes).
 *
 * - One contiguous zero-filled area of ulBlockSize x ulBlockCount bytes, and a stack of block
 *   addresses: entries from ulStackTop up are the free blocks. A fresh pool hands out blocks in
 *   address order; freed blocks are reused last-in first-out.
 * - Concurrency: none of its own. Every operation changes the descriptor, so callers serialise
 *   all operations on one pool (the filter set holds nvx_pflock as writer).
 * - Context: creation and destruction in process context (they allocate and free kernel
 *   memory without sleeping); block operations from any context, constant time except
 *   FreeAllBlocks (linear in the block count).
 * - Errors are printed on the console ("ERROR:  ..."); "INFO:  ..." lines are traced at
 *   level 128.
 */
#ifndef NVX_POOLMGT_H
#define NVX_POOLMGT_H

#include "nvxtypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle of a pool; null is no pool. */
typedef struct PoolDescriptor *PoolHandle;

/* A block handed out by a pool: the address of its first byte. */
typedef void *BlockHandle;

/* Trace level of the pool's "INFO:  " lines. */
#define POOL_TRACE_LEVEL 128

/*
 * AllocatePool - create a pool of ulCount zero-filled blocks of ulBlockSize bytes
 * Return values: 0, *phPool set; PACKETERR_D_BAD_PARMS (4098) for a null phPool, a zero size
 *   or count, or a size x count that does not fit in memory; PACKETERR_NO_MEMORY (4892) when
 *   kernel memory could not be had (nothing is left allocated and *phPool is unchanged).
 */
int AllocatePool(PoolHandle *phPool, U32 ulBlockSize, U32 ulCount);

/*
 * FreePool - release the pool's area, stack and descriptor
 * Description: warns ("WARNING:  freed pool ... contains %d unfreed blocks.") when blocks are
 *   still handed out; they become invalid.
 * Return values: 0; 4098 for a null pool.
 */
int FreePool(PoolHandle hPool);

/* AllocateBlock - take a free block. Return values: the block; null (with an ERROR line) for a
 * null pool or when every block is handed out. */
BlockHandle AllocateBlock(PoolHandle hPool);

/*
 * FreeBlock - give a block back
 * Return values: 0 when freed, and also 0 (with an ERROR line, nothing changed) when no block
 *   is handed out; 4098 for a null argument or an address that is not the start of one of the
 *   pool's blocks. A block freed twice while others are out is not detected.
 */
int FreeBlock(PoolHandle hPool, BlockHandle pBlock);

/* FreeAllBlocks - mark every block free again (contents kept). Return values: 0; 4098 for a
 * null pool. */
int FreeAllBlocks(PoolHandle hPool);

/* GetBlockCount - the pool's capacity ulBlockCount. Return values: the count; 4098 for a null
 * pool. */
U32 GetBlockCount(PoolHandle hPool);

#ifdef __cplusplus
}

#include <stdint.h>

/* An address as the console's "0x%x" shows it: the low 32 bits, converted explicitly. */
inline unsigned AddressAs32(const void *p)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}
#endif

#endif /* NVX_POOLMGT_H */
