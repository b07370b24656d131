/*
 * Unbalanced binary search tree (contract in btree.h).
 *
 * Nodes come from a block pool of ulNodeCount one-node blocks, created with the tree. The
 * parent stack used by twalk has ulNodeCount - 1 entries: no node of a tree of n nodes lies
 * deeper than n - 1, so a walk never pushes more.
 */
#include "btree.h"

#include <sys/cmn_err.h>
#include <sys/kmem.h>

#include "packetErrors.h"

struct BTree {
    BTreeNode *pTree;           /* root; null when empty */
    PoolHandle hNodePool;       /* ulNodeCount blocks of one BTreeNode each */
    const BTreeNode **ppParent; /* twalk's stack of ulNodeCount - 1 parents (null if 0) */
    U32 ulNodeCount;            /* capacity, as given to tcreate */
};

namespace
{

size_t ParentStackSize(U32 ulNodeCount)
{
    return sizeof(BTreeNode *) * (ulNodeCount - 1);
}

/* Releases the node pool and the parent stack of a tree, leaving the record itself. */
void ReleaseTreeStorage(BTree *pTree)
{
    if (pTree->hNodePool != nullptr) {
        FreePool(pTree->hNodePool);
        pTree->hNodePool = nullptr;
    }
    kmem_free(pTree->ppParent, ParentStackSize(pTree->ulNodeCount));
    pTree->ppParent = nullptr;
    pTree->pTree = nullptr;
}

/* The link that leads to the node comparing equal to pvKey (or to where it would hang), and
 * that node's parent (null for the root link). */
BTreeNode **FindLink(const void *pvKey, BTree *pTree, BTreeCompare pCompare,
                     BTreeNode **ppParentOut)
{
    BTreeNode **ppLink = &pTree->pTree;
    BTreeNode *pParent = nullptr;
    while (*ppLink != nullptr) {
        const int nOrder = pCompare(pvKey, (*ppLink)->pvKey);
        if (nOrder == 0) {
            break;
        }
        pParent = *ppLink;
        ppLink = nOrder < 0 ? &pParent->pLeft : &pParent->pRight;
    }
    if (ppParentOut != nullptr) {
        *ppParentOut = pParent;
    }
    return ppLink;
}

} // namespace

int tcreate(BTreeHandle *phTree, U32 ulNodeCount)
{
    if (phTree == nullptr || ulNodeCount == 0) {
        printf("ERROR:  unable to create btree; invalid argument.\n");
        return PACKETERR_D_BAD_PARMS;
    }
    BTree *pTree = *phTree;
    if (pTree != nullptr) {
        ReleaseTreeStorage(pTree);
    } else {
        pTree = static_cast<BTree *>(kmem_zalloc(sizeof(BTree), KM_NOSLEEP));
        if (pTree == nullptr) {
            return PACKETERR_NO_MEMORY;
        }
    }

    pTree->ulNodeCount = ulNodeCount;
    pTree->pTree = nullptr;
    int rc = 0;
    if (ulNodeCount > 1) {
        pTree->ppParent =
            static_cast<const BTreeNode **>(kmem_zalloc(ParentStackSize(ulNodeCount), KM_NOSLEEP));
        if (pTree->ppParent == nullptr) {
            rc = PACKETERR_NO_MEMORY;
        }
    }
    if (rc == 0) {
        rc = AllocatePool(&pTree->hNodePool, sizeof(BTreeNode), ulNodeCount);
    }
    if (rc != 0) {
        ReleaseTreeStorage(pTree);
        kmem_free(pTree, sizeof(BTree));
        *phTree = nullptr;
        return rc;
    }
    *phTree = pTree;
    return 0;
}

int tdestroy(BTreeHandle hTree)
{
    if (hTree == nullptr) {
        printf("ERROR:  unable to destroy btree; invalid argument.\n");
        return PACKETERR_D_BAD_PARMS;
    }
    ReleaseTreeStorage(hTree);
    kmem_free(hTree, sizeof(BTree));
    return 0;
}

BTreeNode *tsearch(const void *pvKey, BTreeHandle hTree, BTreeCompare pCompare)
{
    if (pvKey == nullptr || hTree == nullptr) {
        return nullptr;
    }
    BTreeNode **ppLink = FindLink(pvKey, hTree, pCompare, nullptr);
    if (*ppLink != nullptr) {
        return *ppLink;
    }
    auto *pNode = static_cast<BTreeNode *>(AllocateBlock(hTree->hNodePool));
    if (pNode == nullptr) {
        return nullptr;
    }
    pNode->pvKey = pvKey;
    pNode->pLeft = nullptr;
    pNode->pRight = nullptr;
    *ppLink = pNode;
    return pNode;
}

BTreeNode *tfind(const void *pvKey, BTreeHandle hTree, BTreeCompare pCompare)
{
    if (pvKey == nullptr || hTree == nullptr) {
        return nullptr;
    }
    const BTreeNode *pNode = hTree->pTree;
    while (pNode != nullptr) {
        const int nOrder = pCompare(pvKey, pNode->pvKey);
        if (nOrder == 0) {
            return const_cast<BTreeNode *>(pNode);
        }
        pNode = nOrder < 0 ? pNode->pLeft : pNode->pRight;
    }
    return nullptr;
}

BTreeNode *tdelete(const void *pvKey, BTreeHandle hTree, BTreeCompare pCompare)
{
    if (pvKey == nullptr || hTree == nullptr || hTree->pTree == nullptr) {
        return nullptr;
    }
    BTreeNode *pParent = nullptr;
    BTreeNode **ppLink = FindLink(pvKey, hTree, pCompare, &pParent);
    BTreeNode *pNode = *ppLink;
    if (pNode == nullptr) {
        return nullptr;
    }

    BTreeNode *pReplacement;
    if (pNode->pLeft == nullptr) {
        pReplacement = pNode->pRight;
    } else if (pNode->pRight == nullptr) {
        pReplacement = pNode->pLeft;
    } else if (pNode->pRight->pLeft == nullptr) {
        pReplacement = pNode->pRight;
        pReplacement->pLeft = pNode->pLeft;
    } else {
        /* The leftmost node of the right subtree takes the removed node's place. */
        BTreeNode *pLeftmostParent = pNode->pRight;
        pReplacement = pLeftmostParent->pLeft;
        while (pReplacement->pLeft != nullptr) {
            pLeftmostParent = pReplacement;
            pReplacement = pReplacement->pLeft;
        }
        pLeftmostParent->pLeft = pReplacement->pRight;
        pReplacement->pLeft = pNode->pLeft;
        pReplacement->pRight = pNode->pRight;
    }
    FreeBlock(hTree->hNodePool, pNode);
    *ppLink = pReplacement;
    return pParent;
}

void twalk(BTreeHandle hTree, BTreeAction pAction)
{
    if (hTree == nullptr || hTree->pTree == nullptr || pAction == nullptr) {
        return;
    }
    const U32 ulStackSize = hTree->ulNodeCount - 1;
    U32 ulHeight = 0;
    const BTreeNode *pNode = hTree->pTree;
    VISIT eVisit = preorder;
    for (;;) {
        bool bDescended = false;
        if (eVisit == preorder) {
            const BTreeNode *pChild = pNode->pLeft != nullptr ? pNode->pLeft : pNode->pRight;
            if (pChild != nullptr && ulHeight < ulStackSize) {
                pAction(pNode, preorder, static_cast<int>(ulHeight));
                hTree->ppParent[ulHeight++] = pNode;
                pNode = pChild;
                bDescended = true;
            } else {
                pAction(pNode, leaf, static_cast<int>(ulHeight));
            }
        } else {
            pAction(pNode, eVisit, static_cast<int>(ulHeight));
            if (eVisit == postorder && pNode->pRight != nullptr && ulHeight < ulStackSize) {
                hTree->ppParent[ulHeight++] = pNode;
                pNode = pNode->pRight;
                eVisit = preorder;
                bDescended = true;
            }
        }
        if (bDescended) {
            continue;
        }
        /* Back to the parent: postorder when coming from its left child, else endorder. */
        if (ulHeight == 0) {
            return;
        }
        const BTreeNode *pParent = hTree->ppParent[--ulHeight];
        eVisit = pNode == pParent->pLeft ? postorder : endorder;
        pNode = pParent;
    }
}

BTreeNode *tscan(const void *pvKey, BTreeHandle hTree, BTreeCompare pCompare,
                 const BTreeNode **ppStack, U32 ulStackSize)
{
    if (pvKey == nullptr || hTree == nullptr || pCompare == nullptr || ppStack == nullptr ||
        ulStackSize < hTree->ulNodeCount) {
        return nullptr;
    }
    /* Preorder with an explicit stack of right subtrees still to visit: at most one per
     * node, so the node count bounds it. */
    U32 ulHeight = 0;
    const BTreeNode *pNode = hTree->pTree;
    while (pNode != nullptr) {
        if (pCompare(pvKey, pNode->pvKey) == 0) {
            return const_cast<BTreeNode *>(pNode);
        }
        if (pNode->pLeft != nullptr) {
            if (pNode->pRight != nullptr) {
                ppStack[ulHeight++] = pNode->pRight;
            }
            pNode = pNode->pLeft;
        } else if (pNode->pRight != nullptr) {
            pNode = pNode->pRight;
        } else {
            pNode = ulHeight != 0 ? ppStack[--ulHeight] : nullptr;
        }
    }
    return nullptr;
}

int tflush(BTreeHandle hTree)
{
    if (hTree == nullptr) {
        printf("ERROR:  unable to flush btree; invalid argument.\n");
        return PACKETERR_D_BAD_PARMS;
    }
    hTree->pTree = nullptr;
    return FreeAllBlocks(hTree->hNodePool);
}

const char *VisitToString(VISIT eVisit)
{
    switch (eVisit) {
    case preorder:
        return "preorder";
    case postorder:
        return "postorder";
    case endorder:
        return "endorder";
    case leaf:
        return "leaf";
    }
    return nullptr;
}
