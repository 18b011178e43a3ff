// The octree under geometry occlusion: its list and split rules on small
// cases, then long random runs with the tree's invariants checked after
// every operation and every traversal compared with a brute-force box test.
#include "geometry/aura_octree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

namespace {

using AURA::AURA_AABB;
using AURA::Octree;
using AURA::OctreeNode;

struct Item {
    OctreeNode node; // first: the callback's node is the item
    OctreeNode spare;
    bool donated = false;
    bool inTree = false;
};

AURA_AABB boxAt(float x, float y, float z, float half)
{
    return AURA_AABB{x - half, x + half, y - half, y + half, z - half, z + half};
}

bool contains(const AURA_AABB &outer, const AURA_AABB &inner)
{
    return outer.xmin <= inner.xmin && outer.xmax >= inner.xmax && outer.ymin <= inner.ymin &&
           outer.ymax >= inner.ymax && outer.zmin <= inner.zmin && outer.zmax >= inner.zmax;
}

// Slab test of the segment against the box shrunk by a margin, so that
// rounding in the tree's clipping cannot decide the answer.
bool segmentHits(const AURA_VECTOR &s, const AURA_VECTOR &e, const AURA_AABB &box, float margin)
{
    const float lo[3] = {box.xmin + margin, box.ymin + margin, box.zmin + margin};
    const float hi[3] = {box.xmax - margin, box.ymax - margin, box.zmax - margin};
    const float p[3] = {s.x, s.y, s.z};
    const float d[3] = {e.x - s.x, e.y - s.y, e.z - s.z};
    double t0 = 0.0;
    double t1 = 1.0;
    for (int a = 0; a < 3; ++a) {
        if (lo[a] > hi[a]) {
            return false;
        }
        if (d[a] == 0.0f) {
            if (p[a] < lo[a] || p[a] > hi[a]) {
                return false;
            }
            continue;
        }
        double ta = (static_cast<double>(lo[a]) - p[a]) / d[a];
        double tb = (static_cast<double>(hi[a]) - p[a]) / d[a];
        if (ta > tb) {
            std::swap(ta, tb);
        }
        t0 = std::max(t0, ta);
        t1 = std::min(t1, tb);
    }
    return t0 <= t1;
}

struct Visits {
    std::vector<Item> *items;
    std::vector<int> count;
    int calls = 0;
    int stopAfter = -1;
};

bool countVisit(OctreeNode *node, void *userdata)
{
    auto *visits = static_cast<Visits *>(userdata);
    Item *item = reinterpret_cast<Item *>(node);
    ++visits->count[static_cast<size_t>(item - visits->items->data())];
    ++visits->calls;
    return visits->stopAfter < 0 || visits->calls < visits->stopAfter;
}

class TreeChecker {
public:
    TreeChecker(Octree &tree, std::vector<Item> &items)
        : mTree(tree)
        , mItems(items)
    {
    }

    // Every structural rule the tree keeps; returns the number of internal
    // nodes found.
    void check()
    {
        mSeen.assign(mItems.size(), 0);
        mInternal = 0;
        if (mTree.mTop) {
            ASSERT_EQ(mTree.mTop->mParent, nullptr);
            visit(mTree.mTop);
        }
        size_t donated = 0;
        for (size_t i = 0; i < mItems.size(); ++i) {
            ASSERT_EQ(mSeen[i], mItems[i].inTree ? 1 : 0) << "item " << i;
            donated += mItems[i].donated ? 1 : 0;
        }
        size_t free = 0;
        const OctreeNode *previous = nullptr;
        for (const OctreeNode *node = mTree.mFreeList; node; node = node->mNext) {
            ASSERT_TRUE(node->mFlags & AURA::OCTREE_FREE);
            ASSERT_EQ(node->mParent, previous);
            previous = node;
            ++free;
        }
        ASSERT_EQ(free + mInternal, donated);
    }

private:
    void list(const OctreeNode *first, const OctreeNode *before, const AURA_AABB *bound)
    {
        unsigned int size = 0;
        for (const OctreeNode *member = first; member; member = member->mNext) {
            ASSERT_EQ(member->mParent, before);
            ASSERT_EQ(member->mFlags & (AURA::OCTREE_ITEM | AURA::OCTREE_LIST | AURA::OCTREE_IN_TREE),
                      AURA::OCTREE_ITEM | AURA::OCTREE_LIST | AURA::OCTREE_IN_TREE);
            ASSERT_GE(member->mSize, size) << "list sizes ascend";
            size = member->mSize;
            if (bound) {
                ASSERT_TRUE(contains(*bound, member->mBox));
            }
            seen(member);
            before = member;
        }
    }
    void seen(const OctreeNode *node)
    {
        const auto *item = reinterpret_cast<const Item *>(node);
        ASSERT_GE(item, mItems.data());
        ASSERT_LT(item, mItems.data() + mItems.size());
        ++mSeen[static_cast<size_t>(item - mItems.data())];
    }
    void visit(const OctreeNode *node)
    {
        ASSERT_FALSE(node->mFlags & AURA::OCTREE_LIST);
        if (node->mFlags & AURA::OCTREE_ITEM) {
            seen(node);
            if (node->mNext) {
                ASSERT_GE(node->mNext->mSize, node->mSize);
            }
            const OctreeNode *parent = node->mParent;
            list(node->mNext, node, parent ? &parent->mBox : nullptr);
            return;
        }
        ++mInternal;
        ASSERT_TRUE(node->mFlags & AURA::OCTREE_BOX_SET);
        ASSERT_NE(node->mChild[0], nullptr);
        ASSERT_NE(node->mChild[1], nullptr);
        list(node->mNext, node, &node->mBox);
        for (const OctreeNode *child : node->mChild) {
            ASSERT_EQ(child->mParent, node);
            ASSERT_TRUE(contains(node->mBox, child->mBox));
            visit(child);
        }
    }

    Octree &mTree;
    std::vector<Item> &mItems;
    std::vector<int> mSeen;
    size_t mInternal = 0;
};

TEST(Octree, HighestBit)
{
    const std::array<std::array<unsigned int, 2>, 6> cases{
        {{0, 0}, {1, 1}, {0x80000000u, 0x80000000u}, {12, 8}, {0xFFFFFFFFu, 0x80000000u}, {0x00030000u, 0x00020000u}}};
    for (const auto &c : cases) {
        EXPECT_EQ(AURA::HighestBit(c[0]), c[1]) << c[0];
    }
}

class OctreeCases : public ::testing::Test {
protected:
    void SetUp() override
    {
        tree.setFrame(AURA_VECTOR{0, 0, 0}, 1.0f / 1000.0f);
        items.resize(8);
    }
    void insert(size_t i, const AURA_AABB &box)
    {
        items[i].node.mBox = box;
        tree.addInternalNode(&items[i].spare);
        items[i].donated = true;
        ASSERT_TRUE(tree.insertItem(&items[i].node));
        items[i].inTree = true;
    }
    void remove(size_t i)
    {
        tree.deleteItem(&items[i].node);
        items[i].inTree = false;
    }
    void check()
    {
        TreeChecker checker(tree, items);
        checker.check();
    }

    Octree tree;
    std::vector<Item> items;
};

TEST_F(OctreeCases, SamePlaceItemsShareAListAndEmptyTreeHasNoBox)
{
    AURA_AABB box{1, 1, 1, 1, 1, 1};
    tree.getAABB(&box);
    EXPECT_EQ(box.xmin, 0.0f);
    EXPECT_EQ(box.zmax, 0.0f);
    Visits none{&items, std::vector<int>(items.size())};
    EXPECT_TRUE(tree.testLine(countVisit, &none, AURA_VECTOR{0, 0, 0}, AURA_VECTOR{1, 1, 1}));

    insert(0, boxAt(10, 10, 10, 1));
    insert(1, boxAt(-300, 10, 10, 1));
    insert(2, boxAt(-300, 10, 10, 1)); // same place and size as 1
    check();
    EXPECT_EQ(items[1].node.mParent, &items[2].node);
    EXPECT_TRUE(items[1].node.mFlags & AURA::OCTREE_LIST);
    EXPECT_FALSE(items[2].node.mFlags & AURA::OCTREE_LIST);
    OctreeNode *split = items[2].node.mParent;
    ASSERT_NE(split, nullptr);
    remove(2);
    check();
    EXPECT_EQ(items[1].node.mParent, split);
    EXPECT_FALSE(items[1].node.mFlags & AURA::OCTREE_LIST);

    // Deleting one of the two items under the split frees the split node;
    // the other item moves up to the top.
    remove(1);
    check();
    EXPECT_EQ(tree.mTop, &items[0].node);
    EXPECT_TRUE(split->mFlags & AURA::OCTREE_FREE);
    tree.getAABB(&box);
    EXPECT_EQ(box.xmin, 9.0f);
    EXPECT_EQ(box.ymax, 11.0f);
}

TEST_F(OctreeCases, TraversalClipsStopsAndReachesListItems)
{
    insert(0, boxAt(0, 0, 0, 1));
    insert(1, boxAt(100, 0, 0, 1));
    insert(2, boxAt(100, 0, 0, 50)); // large: hangs in a list
    insert(3, boxAt(-500, 0, 0, 1));
    check();
    auto visits = [&](AURA_VECTOR s, AURA_VECTOR e, int stopAfter, bool expectEnd) {
        Visits v{&items, std::vector<int>(items.size()), 0, stopAfter};
        EXPECT_EQ(tree.testLine(countVisit, &v, s, e), expectEnd);
        return v;
    };
    // Starts on the plane x = 99 (the face of item 1) and leaves the box
    // behind: the start is not clipped away, so item 1 is still reached.
    Visits v = visits(AURA_VECTOR{99, 0, 0}, AURA_VECTOR{80, 0, 0}, -1, true);
    EXPECT_EQ(v.count[1], 1);
    EXPECT_EQ(v.count[2], 1);
    EXPECT_EQ(v.count[0], 0);
    EXPECT_EQ(v.count[3], 0);
    // Missing every box reaches no small item.
    v = visits(AURA_VECTOR{0, 500, 0}, AURA_VECTOR{100, 500, 0}, -1, true);
    EXPECT_EQ(v.count[0] + v.count[1] + v.count[3], 0);
    // A callback that says stop at once ends everything.
    v = visits(AURA_VECTOR{-600, 0, 0}, AURA_VECTOR{600, 0, 0}, 1, false);
    EXPECT_EQ(v.calls, 1);
}

TEST_F(OctreeCases, ItemsOutsideTheFrameAreClampedAndFound)
{
    insert(0, boxAt(5000, -7000, 0, 1)); // centre outside the frame
    insert(1, AURA_AABB{-9000, 9000, -1, 1, -1, 1}); // extent over 4/scale
    insert(2, boxAt(5001, -7000, 0, 1)); // same border cell as 0
    insert(3, boxAt(0, 0, 0, 1));
    check();
    Visits v{&items, std::vector<int>(items.size())};
    EXPECT_TRUE(tree.testLine(countVisit, &v, AURA_VECTOR{5000, -7000, -5}, AURA_VECTOR{5000, -7000, 5}));
    EXPECT_EQ(v.count[0], 1);
    EXPECT_EQ(v.count[2], 1);
    v = Visits{&items, std::vector<int>(items.size())};
    EXPECT_TRUE(tree.testLine(countVisit, &v, AURA_VECTOR{8000, 0, -5}, AURA_VECTOR{8000, 0, 5}));
    EXPECT_EQ(v.count[1], 1);
    // Without spare nodes an insert that needs a split fails cleanly.
    Octree bare;
    bare.setFrame(AURA_VECTOR{0, 0, 0}, 1.0f / 1000.0f);
    Item a;
    Item b;
    a.node.mBox = boxAt(-100, 0, 0, 1);
    b.node.mBox = boxAt(100, 0, 0, 1);
    EXPECT_TRUE(bare.insertItem(&a.node));
    EXPECT_FALSE(bare.insertItem(&b.node));
    EXPECT_FALSE(b.node.mFlags & AURA::OCTREE_IN_TREE);
    EXPECT_EQ(bare.mTop, &a.node);
}

// 100,000 random inserts, deletes, moves and releases (the spare taken back
// as its owner goes) over a few hundred items, with every invariant and a
// traversal checked after each.
TEST(OctreeRandom, InvariantsHoldAndTraversalsMatchBruteForce)
{
    constexpr size_t kItems = 160;
    constexpr int kOperations = 100000;
    std::mt19937 rng(2611);
    std::uniform_real_distribution<float> coord(-1000.0f, 1000.0f);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<Item> items(kItems);
    Octree tree;
    tree.setFrame(AURA_VECTOR{0, 0, 0}, 1.0f / 1000.0f);
    TreeChecker checker(tree, items);

    auto randomBox = [&](const AURA_AABB *near) {
        float half = unit(rng) < 0.8f ? 0.01f + unit(rng) * 5.0f : unit(rng) * 400.0f;
        if (unit(rng) < 0.05f) {
            half = 0.0f; // a point
        }
        if (near && unit(rng) < 0.7f) {
            const float step = unit(rng) * 2.0f;
            return boxAt((near->xmin + near->xmax) * 0.5f + step, (near->ymin + near->ymax) * 0.5f - step,
                         (near->zmin + near->zmax) * 0.5f, (near->xmax - near->xmin) * 0.5f);
        }
        // A tenth of the items sit in a crowded corner, so lists form.
        if (unit(rng) < 0.1f) {
            return boxAt(100.0f + std::floor(unit(rng) * 3.0f), 100.0f, 100.0f, half);
        }
        return boxAt(coord(rng), coord(rng), coord(rng), half);
    };

    int traversals = 0;
    for (int op = 0; op < kOperations; ++op) {
        Item &item = items[rng() % kItems];
        const unsigned int choice = rng() % 10;
        if (!item.inTree) {
            if (!item.donated) {
                tree.addInternalNode(&item.spare);
                item.donated = true;
            }
            item.node.mBox = randomBox(nullptr);
            ASSERT_TRUE(tree.insertItem(&item.node));
            item.inTree = true;
        } else if (choice < 2) {
            tree.deleteItem(&item.node);
            item.inTree = false;
        } else if (choice < 3) {
            tree.deleteItem(&item.node);
            tree.removeInternalNode(&item.spare);
            item.inTree = false;
            item.donated = false;
        } else {
            const AURA_AABB old = item.node.mBox;
            item.node.mBox = randomBox(&old);
            ASSERT_TRUE(tree.updateItem(&item.node));
        }
        checker.check();
        if (::testing::Test::HasFatalFailure()) {
            FAIL() << "after operation " << op;
        }

        const AURA_VECTOR s{coord(rng), coord(rng), coord(rng)};
        const AURA_VECTOR e{coord(rng), coord(rng), coord(rng)};
        Visits v{&items, std::vector<int>(kItems)};
        ASSERT_TRUE(tree.testLine(countVisit, &v, s, e));
        for (size_t i = 0; i < kItems; ++i) {
            ASSERT_LE(v.count[i], 1) << "op " << op << " item " << i;
            if (items[i].inTree && segmentHits(s, e, items[i].node.mBox, 1e-3f)) {
                ASSERT_EQ(v.count[i], 1) << "op " << op << " item " << i << " missed";
                ++traversals;
            }
            if (!items[i].inTree) {
                ASSERT_EQ(v.count[i], 0);
            }
        }
    }
    // The segments did meet items: the comparison was not empty.
    EXPECT_GT(traversals, kOperations);
}

} // namespace
