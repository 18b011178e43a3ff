// A spatial index of boxed items that never allocates: each item brings a
// spare node that becomes an internal node when the tree needs to split.
// Internal nodes split on one bit of one quantised axis, the highest bit in
// which two positions differ, so the levels halve x, y and z in turn.
#ifndef AURA_OCTREE_H
#define AURA_OCTREE_H

#include "aura.h"

namespace AURA {

struct AURA_AABB {
    float xmin;
    float xmax;
    float ymin;
    float ymax;
    float zmin;
    float zmax;
};

// out = the smallest box around a and b.
void aabbAdd(const AURA_AABB &a, const AURA_AABB &b, AURA_AABB &out);

// The value of the highest set bit of x (0 for 0).
[[nodiscard]] constexpr unsigned int HighestBit(unsigned int x)
{
    unsigned int below = (x >> 1) | (x >> 2);
    below |= below >> 2;
    below |= below >> 4;
    below |= below >> 8;
    below |= below >> 16;
    return x & ~below;
}

enum OctreeFlag : unsigned int {
    OCTREE_AXIS_MASK = 0x03, // split axis of an internal node
    OCTREE_ITEM = 0x04,
    OCTREE_BOX_SET = 0x08, // internal node whose box is computed
    OCTREE_LIST = 0x10, // hangs in a list, not in a child slot
    OCTREE_FREE = 0x20,
    OCTREE_IN_TREE = 0x40,
    OCTREE_DONATED = 0x400,
};

// One record for items and internal nodes. An item is the first member of a
// larger record that carries its payload.
struct OctreeNode {
    AURA_AABB mBox{};
    unsigned int mFlags = 0;
    unsigned int mSize = 0; // item: highest bit of its extent; internal: split bit
    unsigned int mPos[3] = {}; // quantised centre
    OctreeNode *mParent = nullptr; // list member: the member before it; free: previous free
    OctreeNode *mChild[2] = {}; // 0: split bit set, 1: clear
    OctreeNode *mNext = nullptr; // next in this node's list, or next free node
};

class Octree {
public:
    // true: go on; false: stop the whole traversal.
    using Callback = bool (*)(OctreeNode *item, void *userdata);

    // Items whose centres lie within 1/scale of the origin are placed
    // exactly; others are clamped to the border cells.
    void setFrame(const AURA_VECTOR &origin, float scale);

    // The item's box is filled in first. An item already in the tree is
    // left alone. False (item left out) when a split needs a node and no
    // spare is free.
    [[nodiscard]] bool insertItem(OctreeNode *item);
    void deleteItem(OctreeNode *item);
    [[nodiscard]] bool updateItem(OctreeNode *item);
    // Donates a spare node once; later calls for the same node do nothing.
    void addInternalNode(OctreeNode *spare);
    // Takes a donated node back before its owner is freed (its item is out
    // of the tree already): off the free list, or, when it serves as an
    // internal node, replaced there by a free one.
    void removeInternalNode(OctreeNode *spare);
    // The box around everything in the tree; zeros when it is empty.
    void getAABB(AURA_AABB *out) const;
    // True when the traversal ran to its end, false when a callback stopped it.
    bool testLine(Callback callback, void *userdata, const AURA_VECTOR &start, const AURA_VECTOR &end);

    OctreeNode *mTop = nullptr;
    float mOrigin[3] = {};
    float mScale = 1.0f;
    OctreeNode *mFreeList = nullptr;

private:
    struct RecursionData {
        Callback callback;
        void *userdata;
        bool stop;
    };
    void quantise(OctreeNode *item, unsigned int &size, unsigned int pos[3]) const;
    void addToFreeList(OctreeNode *node);
    OctreeNode *getFreeNode();
    bool insertInternal(OctreeNode *node, OctreeNode *item);
    // insertInternal for an item taken out and put back: when no node is
    // free it joins the top node's list, so nothing is lost.
    void reinsert(OctreeNode *from, OctreeNode *item);
    void addListItem(OctreeNode *node, OctreeNode *item);
    void replaceInParent(OctreeNode *old, OctreeNode *with);
    static void adjustAABBs(OctreeNode *node);
    static void testLine(OctreeNode *node, AURA_VECTOR start, AURA_VECTOR end, RecursionData *data);
};

} // namespace AURA

#endif // AURA_OCTREE_H
