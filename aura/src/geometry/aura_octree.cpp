#include "geometry/aura_octree.h"

#include <algorithm>
#include <cmath>

namespace AURA {

namespace {

constexpr double kUnit = 1073741824.0; // 2^30: half the quantised range

unsigned int axisOf(const OctreeNode *node)
{
    return node->mFlags & OCTREE_AXIS_MASK;
}

bool isItem(const OctreeNode *node)
{
    return (node->mFlags & OCTREE_ITEM) != 0;
}

float axisValue(const AURA_VECTOR &v, int axis)
{
    return axis == 0 ? v.x : (axis == 1 ? v.y : v.z);
}

} // namespace

void aabbAdd(const AURA_AABB &a, const AURA_AABB &b, AURA_AABB &out)
{
    out.xmin = std::min(a.xmin, b.xmin);
    out.xmax = std::max(a.xmax, b.xmax);
    out.ymin = std::min(a.ymin, b.ymin);
    out.ymax = std::max(a.ymax, b.ymax);
    out.zmin = std::min(a.zmin, b.zmin);
    out.zmax = std::max(a.zmax, b.zmax);
}

void Octree::setFrame(const AURA_VECTOR &origin, float scale)
{
    mOrigin[0] = origin.x;
    mOrigin[1] = origin.y;
    mOrigin[2] = origin.z;
    mScale = scale;
}

void Octree::quantise(OctreeNode *item, unsigned int &size, unsigned int pos[3]) const
{
    const AURA_AABB &box = item->mBox;
    const float mins[3] = {box.xmin, box.ymin, box.zmin};
    const float maxs[3] = {box.xmax, box.ymax, box.zmax};
    double largest = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
        // A centre outside the frame, or not a number, would not fit the
        // unsigned range: it is held to the border cells (NaN to the middle).
        double normalised = ((0.5 * (static_cast<double>(mins[axis]) + maxs[axis])) - mOrigin[axis]) * mScale;
        if (std::isnan(normalised)) {
            normalised = 0.0;
        }
        normalised = std::clamp(normalised, -1.0, 1.0 - 1.0 / kUnit);
        pos[axis] = static_cast<unsigned int>(normalised * kUnit + kUnit);
        const double extent = static_cast<double>(maxs[axis]) - mins[axis];
        largest = std::isnan(extent) || std::isnan(largest) ? NAN : std::max(largest, extent);
    }
    // An extent of 4/scale or more (or NaN) takes the largest size.
    const double scaled = largest * mScale * kUnit;
    const double limit = 4294967295.0;
    size = HighestBit(static_cast<unsigned int>(std::isnan(scaled) ? limit : std::clamp(scaled, 0.0, limit)));
}

void Octree::addToFreeList(OctreeNode *node)
{
    if (mFreeList) {
        mFreeList->mParent = node;
    }
    node->mParent = nullptr;
    node->mNext = mFreeList;
    node->mFlags |= OCTREE_FREE;
    mFreeList = node;
}

OctreeNode *Octree::getFreeNode()
{
    OctreeNode *node = mFreeList;
    if (!node) {
        return nullptr;
    }
    mFreeList = node->mNext;
    if (mFreeList) {
        mFreeList->mParent = nullptr;
    }
    node->mNext = nullptr;
    node->mFlags &= ~OCTREE_FREE;
    return node;
}

void Octree::addInternalNode(OctreeNode *spare)
{
    if (!spare || (spare->mFlags & OCTREE_DONATED)) {
        return;
    }
    spare->mFlags = OCTREE_DONATED;
    spare->mChild[0] = nullptr;
    spare->mChild[1] = nullptr;
    addToFreeList(spare);
}

void Octree::removeInternalNode(OctreeNode *spare)
{
    if (!spare || !(spare->mFlags & OCTREE_DONATED)) {
        return;
    }
    if (spare->mFlags & OCTREE_FREE) {
        if (spare->mParent) {
            spare->mParent->mNext = spare->mNext;
        } else {
            mFreeList = spare->mNext;
        }
        if (spare->mNext) {
            spare->mNext->mParent = spare->mParent;
        }
    } else if (OctreeNode *stand = getFreeNode()) {
        // The spare splits part of the tree: a free node takes its place.
        // With one item fewer in the tree there is always one free.
        const unsigned int donated = stand->mFlags & OCTREE_DONATED;
        *stand = *spare;
        stand->mFlags = (spare->mFlags & ~OCTREE_DONATED) | donated;
        replaceInParent(spare, stand);
        for (OctreeNode *child : stand->mChild) {
            if (child) {
                child->mParent = stand;
            }
        }
        if (stand->mNext) {
            stand->mNext->mParent = stand;
        }
    }
    *spare = OctreeNode{};
}

// Puts `with` where `old` hangs: top node, list slot or child slot.
void Octree::replaceInParent(OctreeNode *old, OctreeNode *with)
{
    OctreeNode *parent = old->mParent;
    if (with) {
        with->mParent = parent;
    }
    if (!parent) {
        mTop = with;
    } else if (old->mFlags & OCTREE_LIST) {
        parent->mNext = with;
    } else {
        parent->mChild[parent->mChild[0] == old ? 0 : 1] = with;
    }
}

bool Octree::insertItem(OctreeNode *item)
{
    if (!item || (item->mFlags & OCTREE_IN_TREE)) {
        return true;
    }
    item->mFlags = (item->mFlags & OCTREE_DONATED) | OCTREE_IN_TREE | OCTREE_ITEM;
    item->mParent = nullptr;
    item->mNext = nullptr;
    item->mChild[0] = nullptr;
    item->mChild[1] = nullptr;
    quantise(item, item->mSize, item->mPos);
    if (!mTop) {
        mTop = item;
        return true;
    }
    if (!insertInternal(mTop, item)) {
        item->mFlags &= ~(OCTREE_IN_TREE | OCTREE_ITEM);
        return false;
    }
    return true;
}

bool Octree::insertInternal(OctreeNode *node, OctreeNode *item)
{
    for (;;) {
        unsigned int best = 0;
        int axis = -1;
        if (isItem(node)) {
            for (int a = 0; a < 3; ++a) {
                const unsigned int b = HighestBit(item->mPos[a] ^ node->mPos[a]);
                if (b > best && b > item->mSize && b > node->mSize) {
                    best = b;
                    axis = a;
                }
            }
        } else {
            const unsigned int mask = 0u - node->mSize;
            for (int a = 0; a < 3; ++a) {
                const unsigned int b = HighestBit((item->mPos[a] ^ node->mPos[a]) & mask);
                if (b <= best || b <= item->mSize) {
                    continue;
                }
                if (b > node->mSize || (b == node->mSize && static_cast<unsigned int>(a) < axisOf(node))) {
                    best = b;
                    axis = a;
                }
            }
        }

        if (axis < 0) {
            if (item->mSize >= node->mSize) {
                addListItem(node, item);
                adjustAABBs(node);
                return true;
            }
            if (isItem(node)) {
                OctreeNode *former = node->mParent;
                addListItem(node, item);
                adjustAABBs(former);
                return true;
            }
            node = node->mChild[item->mPos[axisOf(node)] >= node->mPos[axisOf(node)] ? 0 : 1];
            continue;
        }

        OctreeNode *split = getFreeNode();
        if (!split) {
            return false;
        }
        const unsigned int bit = best;
        split->mSize = bit;
        split->mFlags = (split->mFlags & OCTREE_DONATED) | static_cast<unsigned int>(axis);
        const bool itemSet = (item->mPos[axis] & bit) != 0;
        replaceInParent(node, split);
        node->mFlags &= ~OCTREE_LIST;
        split->mChild[0] = itemSet ? item : node;
        split->mChild[1] = itemSet ? node : item;
        node->mParent = split;
        item->mParent = split;
        item->mFlags &= ~OCTREE_LIST;
        for (int a = 0; a < 3; ++a) {
            split->mPos[a] =
                a < axis ? ((item->mPos[a] & (0u - (bit >> 1))) | (bit >> 1)) : ((item->mPos[a] & (0u - bit)) | bit);
        }
        OctreeNode *detached = node->mNext;
        node->mNext = nullptr;
        adjustAABBs(split);
        OctreeNode *from = split->mParent ? split->mParent : mTop;
        while (detached) {
            OctreeNode *next = detached->mNext;
            detached->mParent = nullptr;
            detached->mNext = nullptr;
            detached->mFlags &= ~OCTREE_LIST;
            reinsert(from, detached);
            detached = next;
        }
        return true;
    }
}

void Octree::reinsert(OctreeNode *from, OctreeNode *item)
{
    if (!insertInternal(from, item)) {
        addListItem(mTop, item);
        adjustAABBs(mTop);
    }
}

void Octree::addListItem(OctreeNode *node, OctreeNode *item)
{
    OctreeNode *before = isItem(node) ? nullptr : node;
    OctreeNode *at = isItem(node) ? node : node->mNext;
    while (at && at->mSize < item->mSize) {
        before = at;
        at = at->mNext;
    }
    if (before) {
        // Behind a member (or first in an internal node's list).
        item->mParent = before;
        item->mNext = at;
        before->mNext = item;
        if (at) {
            at->mParent = item;
        }
        item->mFlags |= OCTREE_LIST;
        return;
    }
    // In front of the head item: the item takes its tree position.
    item->mFlags = (item->mFlags & ~OCTREE_LIST) | (at->mFlags & OCTREE_LIST);
    replaceInParent(at, item);
    item->mNext = at;
    at->mParent = item;
    at->mFlags |= OCTREE_LIST;
}

void Octree::adjustAABBs(OctreeNode *node)
{
    for (; node; node = node->mParent) {
        if (isItem(node)) {
            continue;
        }
        AURA_AABB box = node->mChild[0]->mBox;
        aabbAdd(box, node->mChild[1]->mBox, box);
        for (OctreeNode *member = node->mNext; member; member = member->mNext) {
            aabbAdd(box, member->mBox, box);
        }
        for (OctreeNode *child : node->mChild) {
            if (isItem(child)) {
                for (OctreeNode *member = child->mNext; member; member = member->mNext) {
                    aabbAdd(box, member->mBox, box);
                }
            }
        }
        node->mBox = box;
        node->mFlags |= OCTREE_BOX_SET;
    }
}

void Octree::deleteItem(OctreeNode *item)
{
    if (!item || !(item->mFlags & OCTREE_IN_TREE)) {
        return;
    }
    OctreeNode *parent = item->mParent;
    OctreeNode *first = item->mNext;
    if (!parent) {
        mTop = first;
        if (first) {
            first->mParent = nullptr;
            first->mFlags &= ~OCTREE_LIST;
        }
    } else if (item->mFlags & OCTREE_LIST) {
        parent->mNext = first;
        if (first) {
            first->mParent = parent;
        }
        adjustAABBs(parent);
    } else if (first) {
        parent->mChild[parent->mChild[0] == item ? 0 : 1] = first;
        first->mFlags &= ~OCTREE_LIST;
        first->mParent = parent;
        adjustAABBs(parent);
    } else {
        // The split above loses a side: the other side takes its place.
        OctreeNode *other = parent->mChild[parent->mChild[0] == item ? 1 : 0];
        OctreeNode *grand = parent->mParent;
        replaceInParent(parent, other);
        OctreeNode *members = parent->mNext;
        parent->mParent = nullptr;
        parent->mChild[0] = nullptr;
        parent->mChild[1] = nullptr;
        parent->mNext = nullptr;
        parent->mFlags &= ~(OCTREE_AXIS_MASK | OCTREE_BOX_SET);
        addToFreeList(parent);
        while (members) {
            OctreeNode *next = members->mNext;
            members->mParent = nullptr;
            members->mNext = nullptr;
            members->mFlags &= ~OCTREE_LIST;
            reinsert(grand ? grand : mTop, members);
            members = next;
        }
        adjustAABBs(grand);
    }
    item->mParent = nullptr;
    item->mNext = nullptr;
    item->mFlags &= ~0x5Fu;
}

bool Octree::updateItem(OctreeNode *item)
{
    if (!item) {
        return true;
    }
    if (!(item->mFlags & OCTREE_IN_TREE)) {
        return insertItem(item);
    }
    unsigned int size = 0;
    unsigned int pos[3] = {};
    quantise(item, size, pos);
    const unsigned int mask = 0u - size;
    bool moved = size != item->mSize;
    for (int a = 0; a < 3; ++a) {
        moved = moved || ((pos[a] ^ item->mPos[a]) & mask) != 0;
    }
    if (moved) {
        deleteItem(item);
        return insertItem(item);
    }
    adjustAABBs(item);
    return true;
}

void Octree::getAABB(AURA_AABB *out) const
{
    if (!out) {
        return;
    }
    if (!mTop) {
        *out = AURA_AABB{};
        return;
    }
    AURA_AABB box = mTop->mBox;
    for (const OctreeNode *member = mTop->mNext; member; member = member->mNext) {
        aabbAdd(box, member->mBox, box);
    }
    *out = box;
}

bool Octree::testLine(Callback callback, void *userdata, const AURA_VECTOR &start, const AURA_VECTOR &end)
{
    if (!mTop) {
        return true;
    }
    RecursionData data{callback, userdata, false};
    testLine(mTop, start, end, &data);
    return !data.stop;
}

void Octree::testLine(OctreeNode *node, AURA_VECTOR start, AURA_VECTOR end, RecursionData *data)
{
    while (node) {
        for (OctreeNode *member = node->mNext; member; member = member->mNext) {
            if (!data->callback(member, data->userdata)) {
                data->stop = true;
                return;
            }
        }
        const float bounds[6] = {node->mBox.xmin, node->mBox.xmax, node->mBox.ymin,
                                 node->mBox.ymax, node->mBox.zmin, node->mBox.zmax};
        for (int face = 0; face < 6; ++face) {
            const int axis = face / 2;
            const bool minFace = (face & 1) == 0;
            const float s = axisValue(start, axis);
            const float e = axisValue(end, axis);
            const float a = minFace ? s - bounds[face] : bounds[face] - s;
            const float b = minFace ? e - bounds[face] : bounds[face] - e;
            if (a < 0.0f && b <= 0.0f) {
                return;
            }
            if (a < 0.0f && b > 0.0f) {
                const float t = a / (a - b);
                start = AURA_VECTOR{start.x + (end.x - start.x) * t, start.y + (end.y - start.y) * t,
                                    start.z + (end.z - start.z) * t};
            } else if (a > 0.0f && b < 0.0f) {
                const float t = b / (b - a);
                end = AURA_VECTOR{end.x + (start.x - end.x) * t, end.y + (start.y - end.y) * t,
                                  end.z + (start.z - end.z) * t};
            }
        }
        if (isItem(node)) {
            if (!data->callback(node, data->userdata)) {
                data->stop = true;
            }
            return;
        }
        testLine(node->mChild[0], start, end, data);
        if (data->stop) {
            return;
        }
        node = node->mChild[1];
    }
}

} // namespace AURA
