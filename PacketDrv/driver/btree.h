/*
 * Unbalanced binary search tree over caller-owned keys, with its nodes taken from a block pool
 * (poolmgt.h) that is sized when the tree is created: inserting never allocates.
 *
 * - A node holds the address of the caller's key, not a copy. The order is the caller's
 *   comparison, always called as pCompare(search key, node key); equal keys are not inserted
 *   twice. Nothing rebalances the tree: callers that care about depth insert median first.
 * - Concurrency: none of its own. tsearch, tdelete, tflush, tcreate and tdestroy change the
 *   tree; twalk uses the tree's own parent stack, so it changes the tree's state too. Only
 *   tfind and tscan read without writing, so only they may run at the same time as each other
 *   (the filter set runs them under nvx_pflock as reader and everything else as writer).
 * - Context: tcreate and tdestroy in process context (they allocate and free kernel memory
 *   without sleeping); every other operation in any context. No operation sleeps.
 * - Errors of the operations that return a code are printed on the console ("ERROR:  ...").
 */
#ifndef NVX_BTREE_H
#define NVX_BTREE_H

#include "nvxtypes.h"
#include "poolmgt.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct BTreeNode {
    const void *pvKey;        /* the caller's key (not copied) */
    struct BTreeNode *pLeft;  /* keys that compare below pvKey */
    struct BTreeNode *pRight; /* keys that compare above pvKey */
} BTreeNode;

/* Opaque handle of a tree; null is no tree. */
typedef struct BTree *BTreeHandle;

/* The kind of visit twalk reports for a node. */
typedef enum VISIT : int {
    preorder = 0,  /* before its children */
    postorder = 1, /* after its left subtree, before its right one */
    endorder = 2,  /* after its children */
    leaf = 3       /* the one visit of a node without children */
} VISIT;

/* pCompare(key, nodeKey): negative, zero or positive as key sorts before, with or after. */
typedef int (*BTreeCompare)(const void *pvKey, const void *pvNodeKey);

/* pAction(node, visit, level): level is the node's depth, 0 at the root. */
typedef void (*BTreeAction)(const BTreeNode *pNode, VISIT eVisit, int nLevel);

/*
 * tcreate - create an empty tree that can hold ulNodeCount nodes
 * Description: when *phTree already holds a tree, its nodes and parent stack are released and
 *   the record is reused for the new, empty tree (the old keys are not touched).
 * Return values: 0; PACKETERR_D_BAD_PARMS (4098, with an ERROR line) for a null phTree or a
 *   zero count; PACKETERR_NO_MEMORY (4892) or the pool's code when memory could not be had
 *   (everything is released and *phTree is set to null).
 */
int tcreate(BTreeHandle *phTree, U32 ulNodeCount);

/* tdestroy - release the tree's nodes, parent stack and record (the keys are not touched).
 * Return values: 0; 4098 (with an ERROR line) for a null tree. */
int tdestroy(BTreeHandle hTree);

/*
 * tsearch - find the node whose key compares equal to pvKey, or insert pvKey
 * Return values: the node found or inserted; null for a null key or tree, or when pvKey is not
 *   present and the tree has no free node.
 */
BTreeNode *tsearch(const void *pvKey, BTreeHandle hTree, BTreeCompare pCompare);

/* tfind - the node whose key compares equal to pvKey along the search path, or null. */
BTreeNode *tfind(const void *pvKey, BTreeHandle hTree, BTreeCompare pCompare);

/*
 * tdelete - remove the node whose key compares equal to pvKey
 * Description: the node's block goes back to the node pool; its key is not touched.
 * Return values: the removed node's parent; null when the root was removed, and also null for
 *   a null key or tree, an empty tree or a key that is not present.
 */
BTreeNode *tdelete(const void *pvKey, BTreeHandle hTree, BTreeCompare pCompare);

/*
 * twalk - call pAction for every node, depth first
 * Description: a node with two children gets preorder, postorder and endorder calls, one
 *   with a single child gets two (preorder, then postorder or endorder), one without children
 *   a single leaf call. Nothing happens for a null tree, an empty tree or a null action.
 */
void twalk(BTreeHandle hTree, BTreeAction pAction);

/*
 * tscan - the first node, in preorder, whose key compares equal to pvKey over the whole tree
 * Description: unlike tfind, which follows one path and so relies on pCompare being the tree's
 *   own order, tscan tests every node until one compares equal. It is meant for comparisons
 *   that are not the tree's order (a key that matches several, unrelated nodes). It writes
 *   nothing, so any number of scans and finds may run at the same time.
 * Parameters: ppStack, ulStackSize - the caller's scratch stack; at least the tree's node
 *   count entries.
 * Return values: the node; null for a null key, tree or comparison, a stack smaller than the
 *   tree's node count, or when no node compares equal.
 * Cost: one comparison per node visited, no allocation.
 */
BTreeNode *tscan(const void *pvKey, BTreeHandle hTree, BTreeCompare pCompare,
                 const BTreeNode **ppStack, U32 ulStackSize);

/* tflush - empty the tree (every node back to the pool; keys not touched).
 * Return values: 0; 4098 (with an ERROR line) for a null tree. */
int tflush(BTreeHandle hTree);

/* VisitToString - "preorder", "postorder", "endorder" or "leaf"; null for any other value. */
const char *VisitToString(VISIT eVisit);

#ifdef __cplusplus
}
#endif

#endif /* NVX_BTREE_H */
