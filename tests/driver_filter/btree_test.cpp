// The binary tree: insertion and lookup, the result codes of every operation, the shape after
// each kind of deletion, the walk's visits and depths, flush, and the whole-tree scan.
#include "btree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "accounting.h"
#include "console_log.h"
#include "faults.h"
#include "packetErrors.h"

namespace
{

int compareInts(const void *a, const void *b)
{
    return *static_cast<const int *>(a) - *static_cast<const int *>(b);
}

// Keys live in a table that outlives the tree: the tree keeps their addresses.
class BTreeTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        before_ = platform::accounting::counts();
        platform::console::take();
        ASSERT_EQ(tcreate(&tree_, 16), 0);
        for (int i = 0; i < 64; i++) {
            keys_[i] = i;
        }
    }
    void TearDown() override
    {
        if (tree_ != nullptr) {
            EXPECT_EQ(tdestroy(tree_), 0);
        }
        EXPECT_EQ(platform::accounting::leaks_since(before_), "");
    }
    BTreeNode *insert(int key) { return tsearch(&keys_[key], tree_, compareInts); }
    void insertAll(std::initializer_list<int> keys)
    {
        for (int k : keys) {
            ASSERT_NE(insert(k), nullptr) << k;
        }
    }
    static int keyOf(const BTreeNode *node) { return *static_cast<const int *>(node->pvKey); }

    // The tree as text: "key(left,right)", "-" for an empty link.
    std::string shape()
    {
        const BTreeNode *root = tfind(&keys_[rootKey()], tree_, compareInts);
        return shapeOf(root);
    }
    std::string shapeOf(const BTreeNode *node)
    {
        if (node == nullptr) {
            return "-";
        }
        if (node->pLeft == nullptr && node->pRight == nullptr) {
            return std::to_string(keyOf(node));
        }
        return std::to_string(keyOf(node)) + "(" + shapeOf(node->pLeft) + "," +
               shapeOf(node->pRight) + ")";
    }
    // The root is the node that twalk visits first.
    int rootKey()
    {
        visits().clear();
        twalk(tree_, record);
        return visits().empty() ? -1 : visits().front().key;
    }

    struct Visit {
        int key;
        VISIT kind;
        int level;
        bool operator==(const Visit &) const = default;
    };
    static std::vector<Visit> &visits()
    {
        static std::vector<Visit> v;
        return v;
    }
    static void record(const BTreeNode *node, VISIT kind, int level)
    {
        visits().push_back({keyOf(node), kind, level});
    }

    BTreeHandle tree_ = nullptr;
    int keys_[64];
    platform::accounting::Counts before_;
};

TEST_F(BTreeTest, SearchInsertsOnceAndFindFollowsTheOrder)
{
    insertAll({8, 4, 12, 2, 6});
    EXPECT_EQ(shape(), "8(4(2,6),12)");
    int again = 6; // an equal key at another address finds the stored node
    BTreeNode *node = tsearch(&again, tree_, compareInts);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->pvKey, &keys_[6]);
    EXPECT_EQ(tfind(&again, tree_, compareInts), node);
    int absent = 7;
    EXPECT_EQ(tfind(&absent, tree_, compareInts), nullptr);
    EXPECT_EQ(shape(), "8(4(2,6),12)") << "find inserts nothing";
}

TEST_F(BTreeTest, SearchAndFindAnswerNullForNullArguments)
{
    EXPECT_EQ(tsearch(nullptr, tree_, compareInts), nullptr);
    EXPECT_EQ(tsearch(&keys_[1], nullptr, compareInts), nullptr);
    EXPECT_EQ(tfind(nullptr, tree_, compareInts), nullptr);
    EXPECT_EQ(tfind(&keys_[1], nullptr, compareInts), nullptr);
    EXPECT_EQ(tfind(&keys_[1], tree_, compareInts), nullptr) << "empty tree";
    EXPECT_EQ(platform::console::take(), "");
}

TEST_F(BTreeTest, FullTreeRefusesNewKeysButStillFindsStoredOnes)
{
    for (int k = 0; k < 16; k++) {
        ASSERT_NE(insert(k), nullptr) << k;
    }
    platform::console::take();
    EXPECT_EQ(insert(16), nullptr);
    EXPECT_NE(platform::console::take().find("ERROR:  block allocation failure; no free space"),
              std::string::npos);
    EXPECT_EQ(keyOf(insert(15)), 15) << "an existing key needs no node";
}

TEST_F(BTreeTest, DeleteResultCodes)
{
    EXPECT_EQ(tdelete(&keys_[1], tree_, compareInts), nullptr) << "empty tree";
    insertAll({8, 4, 12});
    EXPECT_EQ(tdelete(nullptr, tree_, compareInts), nullptr) << "null key";
    EXPECT_EQ(tdelete(&keys_[8], nullptr, compareInts), nullptr) << "null tree";
    EXPECT_EQ(tdelete(&keys_[5], tree_, compareInts), nullptr) << "absent key";
    EXPECT_EQ(shape(), "8(4,12)");
    BTreeNode *parent = tdelete(&keys_[12], tree_, compareInts);
    ASSERT_NE(parent, nullptr);
    EXPECT_EQ(keyOf(parent), 8) << "the removed node's parent";
    EXPECT_EQ(tdelete(&keys_[8], tree_, compareInts), nullptr) << "root removed";
    EXPECT_EQ(shape(), "4");
}

TEST_F(BTreeTest, DeleteReplacesTheNodeAsEachCaseSays)
{
    struct Case {
        const char *name;
        std::initializer_list<int> keys;
        int removed;
        const char *after;
    } cases[] = {
        {"no left child: the right child", {8, 4, 12, 14}, 12, "8(4,14)"},
        {"left child only: the left child", {8, 4, 12, 10}, 12, "8(4,10)"},
        {"right child without left child takes the left subtree",
         {8, 4, 12, 10, 14, 15},
         12,
         "8(4,14(10,15))"},
        {"leftmost of the right subtree takes both subtrees",
         {8, 4, 12, 10, 20, 16, 24, 14, 15},
         12,
         "8(4,14(10,20(16(15,-),24)))"},
        {"the root with both children", {8, 4, 12, 10, 14}, 8, "10(4,12(-,14))"},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(tflush(tree_), 0);
        for (int k : c.keys) {
            ASSERT_NE(insert(k), nullptr) << c.name;
        }
        tdelete(&keys_[c.removed], tree_, compareInts);
        EXPECT_EQ(shape(), c.after) << c.name;
        EXPECT_EQ(tfind(&keys_[c.removed], tree_, compareInts), nullptr) << c.name;
        for (int k : c.keys) {
            if (k != c.removed) {
                EXPECT_NE(tfind(&keys_[k], tree_, compareInts), nullptr) << c.name << " key " << k;
            }
        }
    }
}

TEST_F(BTreeTest, DeletedNodesGoBackToThePool)
{
    for (int round = 0; round < 3; round++) {
        for (int k = 0; k < 16; k++) {
            ASSERT_NE(insert(k), nullptr) << "round " << round << " key " << k;
        }
        for (int k = 0; k < 16; k++) {
            tdelete(&keys_[k], tree_, compareInts);
        }
        EXPECT_EQ(rootKey(), -1);
    }
}

TEST_F(BTreeTest, WalkVisitsEachNodeByItsChildrenWithItsDepth)
{
    using V = Visit;
    struct Case {
        const char *name;
        std::initializer_list<int> keys;
        std::vector<Visit> expected;
    } cases[] = {
        {"one node", {5}, {V{5, leaf, 0}}},
        {"root with a left child only",
         {5, 3},
         {V{5, preorder, 0}, V{3, leaf, 1}, V{5, postorder, 0}}},
        {"root with a right child only",
         {5, 7},
         {V{5, preorder, 0}, V{7, leaf, 1}, V{5, endorder, 0}}},
        {"two levels",
         {5, 3, 8, 7},
         {V{5, preorder, 0}, V{3, leaf, 1}, V{5, postorder, 0}, V{8, preorder, 1}, V{7, leaf, 2},
          V{8, postorder, 1}, V{5, endorder, 0}}},
        {"a chain to the right",
         {1, 2, 3},
         {V{1, preorder, 0}, V{2, preorder, 1}, V{3, leaf, 2}, V{2, endorder, 1},
          V{1, endorder, 0}}},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(tflush(tree_), 0);
        for (int k : c.keys) {
            ASSERT_NE(insert(k), nullptr) << c.name;
        }
        visits().clear();
        twalk(tree_, record);
        EXPECT_EQ(visits(), c.expected) << c.name;
    }
}

TEST_F(BTreeTest, WalkOfTheDeepestTreeFitsItsParentStack)
{
    // 16 keys in order: a chain 15 deep, the most the 15-entry parent stack must hold.
    for (int k = 0; k < 16; k++) {
        ASSERT_NE(insert(k), nullptr);
    }
    visits().clear();
    twalk(tree_, record);
    ASSERT_EQ(visits().size(), 31u);
    EXPECT_EQ(visits()[15], (Visit{15, leaf, 15}));
    EXPECT_EQ(visits().back(), (Visit{0, endorder, 0}));
}

TEST_F(BTreeTest, WalkDoesNothingWithoutTreeNodesOrAction)
{
    visits().clear();
    twalk(tree_, record);
    twalk(nullptr, record);
    insertAll({1});
    twalk(tree_, nullptr);
    EXPECT_TRUE(visits().empty());
}

TEST_F(BTreeTest, FlushEmptiesAndFreesEveryNode)
{
    for (int k = 0; k < 16; k++) {
        ASSERT_NE(insert(k), nullptr);
    }
    EXPECT_EQ(tflush(tree_), 0);
    EXPECT_EQ(rootKey(), -1);
    EXPECT_EQ(tfind(&keys_[3], tree_, compareInts), nullptr);
    for (int k = 16; k < 32; k++) {
        ASSERT_NE(insert(k), nullptr) << "all 16 nodes are free again";
    }
}

TEST_F(BTreeTest, NullTreeIsRefusedWithItsLine)
{
    struct Case {
        const char *name;
        int rc;
        const char *line;
    } cases[] = {
        {"tflush", tflush(nullptr), "ERROR:  unable to flush btree; invalid argument.\n"},
        {"tdestroy", tdestroy(nullptr), "ERROR:  unable to destroy btree; invalid argument.\n"},
        {"tcreate, null handle", tcreate(nullptr, 4),
         "ERROR:  unable to create btree; invalid argument.\n"},
    };
    std::string expected;
    for (const Case &c : cases) {
        EXPECT_EQ(c.rc, PACKETERR_D_BAD_PARMS) << c.name;
        expected += c.line;
    }
    BTreeHandle untouched = nullptr;
    EXPECT_EQ(tcreate(&untouched, 0), PACKETERR_D_BAD_PARMS);
    expected += "ERROR:  unable to create btree; invalid argument.\n";
    EXPECT_EQ(untouched, nullptr);
    EXPECT_EQ(platform::console::take(), expected);
}

TEST_F(BTreeTest, CreateOnAnExistingTreeStartsItEmptyWithTheNewSize)
{
    insertAll({1, 2, 3});
    BTreeHandle same = tree_;
    ASSERT_EQ(tcreate(&tree_, 2), 0);
    EXPECT_EQ(tree_, same) << "the record is reused";
    EXPECT_EQ(rootKey(), -1);
    EXPECT_NE(insert(1), nullptr);
    EXPECT_NE(insert(2), nullptr);
    EXPECT_EQ(insert(3), nullptr) << "two nodes now";
}

TEST_F(BTreeTest, OneNodeTreeNeedsNoParentStack)
{
    BTreeHandle small = nullptr;
    ASSERT_EQ(tcreate(&small, 1), 0);
    ASSERT_NE(tsearch(&keys_[1], small, compareInts), nullptr);
    EXPECT_EQ(tsearch(&keys_[2], small, compareInts), nullptr);
    visits().clear();
    twalk(small, record);
    EXPECT_EQ(visits(), (std::vector<Visit>{{1, leaf, 0}}));
    EXPECT_EQ(tdestroy(small), 0);
}

TEST_F(BTreeTest, CreateUnderAllocationFailureLeavesNothing)
{
    platform::faults::Scope faults;
    const auto before = platform::accounting::counts(); // the fixture's tree is live already
    for (unsigned n = 1; n <= 5; n++) {
        BTreeHandle tree = nullptr;
        platform::faults::fail_nth(platform::faults::Kind::kmem_nosleep, n);
        const int rc = tcreate(&tree, 8);
        if (platform::faults::injected(platform::faults::Kind::kmem_nosleep) == 0) {
            // Fewer than n allocations: this and later n succeed.
            EXPECT_EQ(rc, 0);
            platform::faults::reset();
            EXPECT_EQ(tdestroy(tree), 0);
            break;
        }
        EXPECT_EQ(rc, PACKETERR_NO_MEMORY) << "allocation " << n;
        EXPECT_EQ(tree, nullptr) << "allocation " << n;
        platform::faults::reset();
    }
    EXPECT_EQ(platform::accounting::leaks_since(before), "");
}

TEST_F(BTreeTest, VisitNames)
{
    EXPECT_STREQ(VisitToString(preorder), "preorder");
    EXPECT_STREQ(VisitToString(postorder), "postorder");
    EXPECT_STREQ(VisitToString(endorder), "endorder");
    EXPECT_STREQ(VisitToString(leaf), "leaf");
    EXPECT_EQ(VisitToString(static_cast<VISIT>(4)), nullptr);
    EXPECT_EQ(VisitToString(static_cast<VISIT>(-1)), nullptr);
}

// Keys that are equal under a comparison other than the tree's order: here "same remainder
// modulo 10", which the tree's numeric order scatters over both sides of the root.
int compareModulo10(const void *key, const void *nodeKey)
{
    return *static_cast<const int *>(key) % 10 - *static_cast<const int *>(nodeKey) % 10;
}

TEST_F(BTreeTest, ScanFindsNodesThatAPathSearchMisses)
{
    insertAll({30, 10, 50, 5, 23, 41, 57});
    const BTreeNode *stack[16];
    int key = 3; // matches 23 only, left of the root; a path search from 30 ...
    EXPECT_EQ(tfind(&key, tree_, compareModulo10), nullptr) << "... turns right (3 > 0)";
    const BTreeNode *found = tscan(&key, tree_, compareModulo10, stack, 16);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(keyOf(found), 23);
    for (int k : {30, 10, 50, 5, 23, 41, 57}) {
        int probe = k + 100;
        const BTreeNode *node = tscan(&probe, tree_, compareModulo10, stack, 16);
        ASSERT_NE(node, nullptr) << k;
        EXPECT_EQ(keyOf(node) % 10, k % 10) << k;
    }
    int absent = 4;
    EXPECT_EQ(tscan(&absent, tree_, compareModulo10, stack, 16), nullptr);
}

TEST_F(BTreeTest, ScanRefusesAStackSmallerThanTheTree)
{
    insertAll({1});
    const BTreeNode *stack[16];
    EXPECT_EQ(tscan(&keys_[1], tree_, compareInts, stack, 15), nullptr);
    EXPECT_NE(tscan(&keys_[1], tree_, compareInts, stack, 16), nullptr);
    EXPECT_EQ(tscan(nullptr, tree_, compareInts, stack, 16), nullptr);
    EXPECT_EQ(tscan(&keys_[1], nullptr, compareInts, stack, 16), nullptr);
    EXPECT_EQ(tscan(&keys_[1], tree_, nullptr, stack, 16), nullptr);
    EXPECT_EQ(tscan(&keys_[1], tree_, compareInts, nullptr, 16), nullptr);
}

TEST_F(BTreeTest, ScanVisitsEveryShapeWithinItsStack)
{
    // Every insertion order of a complete 15-key tree and of chains: the scan must reach every
    // key, whatever the shape.
    const std::vector<std::vector<int>> orders = {
        {8, 4, 12, 2, 6, 10, 14, 1, 3, 5, 7, 9, 11, 13, 15},
        {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
        {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1},
        {1, 16, 2, 15, 3, 14, 4, 13, 5, 12, 6, 11, 7, 10, 8, 9},
    };
    const BTreeNode *stack[16];
    for (const auto &order : orders) {
        ASSERT_EQ(tflush(tree_), 0);
        for (int k : order) {
            ASSERT_NE(insert(k), nullptr);
        }
        for (int k : order) {
            const BTreeNode *node = tscan(&keys_[k], tree_, compareInts, stack, 16);
            ASSERT_NE(node, nullptr) << k;
            EXPECT_EQ(keyOf(node), k);
        }
    }
}

} // namespace
