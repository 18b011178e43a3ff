// The tag list of a codec or a file.
#include "base/aura_metadata.h"

#include "base/aura_memory.h"
#include "base/aura_string.h"

#include <cstring>
#include <utility>

namespace {

constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_metadata";

// Zero bytes kept behind a text value so that it always ends in a terminator.
unsigned int terminatorRoom(AURA_TAGDATATYPE dataType)
{
    switch (dataType) {
    case AURA_TAGDATATYPE_STRING:
        return 1;
    case AURA_TAGDATATYPE_STRING_UTF16:
    case AURA_TAGDATATYPE_STRING_UTF16BE:
        return 2;
    default:
        return 0;
    }
}

// A value of `length` bytes plus `room` must fit one pool allocation.
bool fitsPool(unsigned int length, unsigned int room)
{
    return static_cast<unsigned long long>(length) + room <=
           static_cast<unsigned long long>(AURA::MemPool::MAX_SIZE);
}

// A zeroed pool block of length + room bytes holding a copy of data, or null
// when out of memory. The caller has checked the size with fitsPool.
void *copyValue(const void *data, unsigned int length, unsigned int room)
{
    void *copy = AURA_Memory_Calloc(static_cast<int>(length + room));
    if (copy && length > 0) {
        std::memcpy(copy, data, length);
    }
    return copy;
}

bool sameBytes(const void *a, const void *b, unsigned int length)
{
    return length == 0 || (a && b && AURA_memcmp(a, b, length) == 0);
}

} // namespace

namespace AURA {

AURA_RESULT TagNode::init(AURA_TAGTYPE type, const char *name, const void *data, unsigned int length,
                          AURA_TAGDATATYPE dataType)
{
    const unsigned int room = terminatorRoom(dataType);
    if (!name || (!data && length > 0) || !fitsPool(length, room)) {
        return AURA_ERR_INVALID_PARAM;
    }

    char *nameCopy = AURA_strdup(name);
    if (!nameCopy) {
        return AURA_ERR_MEMORY;
    }
    void *valueCopy = copyValue(data, length, room);
    if (!valueCopy) {
        AURA_Memory_Free(nameCopy);
        return AURA_ERR_MEMORY;
    }

    AURA_Memory_Free(mName);
    AURA_Memory_Free(mValue);
    mName = nameCopy;
    mValue = valueCopy;
    mDataLength = length + room;
    mType = type;
    mDataType = dataType;
    mUpdated = true;
    mUnique = false;
    return AURA_OK;
}

AURA_RESULT TagNode::update(const void *data, unsigned int length)
{
    const unsigned int room = terminatorRoom(mDataType);
    if ((!data && length > 0) || !fitsPool(length, room)) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (length == mDataLength && sameBytes(mValue, data, length)) {
        mUpdated = true;
        return AURA_OK;
    }

    // The new copy is made before the old one goes, so that a failure
    // leaves the tag as it was.
    void *valueCopy = copyValue(data, length, room);
    if (!valueCopy) {
        return AURA_ERR_MEMORY;
    }
    AURA_Memory_Free(mValue);
    mValue = valueCopy;
    mDataLength = length;
    mUpdated = true;
    return AURA_OK;
}

AURA_RESULT TagNode::release()
{
    removeNode();
    AURA_Memory_Free(mName);
    AURA_Memory_Free(mValue);
    mName = nullptr;
    mValue = nullptr;
    AURA_Delete(this);
    return AURA_OK;
}

TagNode *Metadata::findTag(AURA_TAGTYPE type, const char *name, int occurrence) const
{
    for (TagNode *tag = firstTag(); tag != end(); tag = tag->nextTag()) {
        if (tag->mType == type && AURA_strcmp(tag->mName, name) == 0 && occurrence-- == 0) {
            return tag;
        }
    }
    return nullptr;
}

AURA_RESULT Metadata::addTag(AURA_TAGTYPE type, const char *name, const void *data,
                             unsigned int length, AURA_TAGDATATYPE dataType, bool unique)
{
    if (!name || (!data && length > 0)) {
        return AURA_ERR_INVALID_PARAM;
    }

    if (unique) {
        if (TagNode *tag = findTag(type, name, 0)) {
            const AURA_RESULT result = tag->update(data, length);
            if (result == AURA_OK) {
                tag->mUnique = true;
            }
            return result;
        }
    }

    auto *node = AURA_New(TagNode);
    if (!node) {
        return AURA_ERR_MEMORY;
    }
    const AURA_RESULT result = node->init(type, name, data, length, dataType);
    if (result != AURA_OK) {
        node->release();
        return result;
    }
    node->addBefore(*this);
    node->mUnique = unique;
    return AURA_OK;
}

AURA_RESULT Metadata::setTag(AURA_TAGTYPE type, const char *name, int occurrence, const void *data,
                             unsigned int length, AURA_TAGDATATYPE dataType)
{
    if (!name || occurrence < 0 || (!data && length > 0)) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (TagNode *tag = findTag(type, name, occurrence)) {
        return tag->update(data, length);
    }
    return addTag(type, name, data, length, dataType, false);
}

AURA_RESULT Metadata::addTag(TagNode *node)
{
    if (!node || node == this) {
        return AURA_ERR_INVALID_PARAM;
    }
    node->removeNode();
    node->addBefore(*this);
    return AURA_OK;
}

AURA_RESULT Metadata::replaceByOccurrence(Metadata *other)
{
    if (!other || other == this) {
        return AURA_ERR_INVALID_PARAM;
    }
    // How many tags of the same name and type stand before `node` in `list`.
    auto occurrenceOf = [](const Metadata *list, const TagNode *node) {
        int occurrence = 0;
        for (const TagNode *tag = list->firstTag(); tag != node; tag = tag->nextTag()) {
            occurrence += tag->mType == node->mType && AURA_strcmp(tag->mName, node->mName) == 0;
        }
        return occurrence;
    };
    // First the tags that have a counterpart here trade places with it, in
    // place: this list keeps its order and gets the new values, the other
    // list gets the old ones (released with it).
    for (TagNode *node = other->firstTag(); node != other->end(); node = node->nextTag()) {
        if (TagNode *here = findTag(node->mType, node->mName, occurrenceOf(other, node))) {
            std::swap(here->mName, node->mName);
            std::swap(here->mValue, node->mValue);
            std::swap(here->mDataLength, node->mDataLength);
            std::swap(here->mDataType, node->mDataType);
            std::swap(here->mUnique, node->mUnique);
            here->mUpdated = true;
            node->mReserved0 = 1; // traded: released below, not added
        }
    }
    // Then the rest go to the end, in their order. Walking backwards keeps
    // the occurrences of the tags still to be looked at unchanged.
    Metadata tail;
    for (TagNode *node = other->prevTag(); node != other->end();) {
        TagNode *previous = node->prevTag();
        if (node->mReserved0 == 0) {
            node->removeNode();
            node->addAfter(tail);
        }
        node = previous;
    }
    while (tail.firstTag() != tail.end()) {
        (void)addTag(tail.firstTag());
    }
    for (TagNode *node = other->firstTag(); node != other->end();) {
        TagNode *next = node->nextTag();
        (void)node->release();
        node = next;
    }
    return AURA_OK;
}

AURA_RESULT Metadata::add(Metadata *other)
{
    if (!other || other == this) {
        return AURA_ERR_INVALID_PARAM;
    }

    while (!other->isEmpty()) {
        TagNode *taken = other->firstTag();
        taken->removeNode();

        // A tag of another type is another tag, even of the same name (a
        // station's TITLE beside the stream's own TITLE comment).
        TagNode *existing = taken->mUnique ? findTag(taken->mType, taken->mName, 0) : nullptr;

        if (!existing) {
            taken->addBefore(*this);
            continue;
        }
        const AURA_RESULT result = existing->update(taken->mValue, taken->mDataLength);
        if (result != AURA_OK) {
            taken->addAfter(*other); // back to the front, where it came from
            return result;
        }
        taken->release();
    }
    return AURA_OK;
}

AURA_RESULT Metadata::getNumTags(int *numTags, int *numUpdated) const
{
    int all = 0;
    int updated = 0;
    for (const TagNode *tag = firstTag(); tag != end(); tag = tag->nextTag()) {
        ++all;
        if (tag->mUpdated) {
            ++updated;
        }
    }
    if (numTags) {
        *numTags = all;
    }
    if (numUpdated) {
        *numUpdated = updated;
    }
    return AURA_OK;
}

AURA_RESULT Metadata::getTag(const char *name, int index, AURA_TAG *tag)
{
    if (!tag) {
        return AURA_ERR_INVALID_PARAM;
    }

    TagNode *found = nullptr;
    int remaining = index;
    for (TagNode *node = firstTag(); node != end(); node = node->nextTag()) {
        if (name && AURA_strcmp(node->mName, name) != 0) {
            continue;
        }
        if (index < 0) {
            if (node->mUpdated) {
                found = node;
                break;
            }
        } else if (remaining-- == 0) {
            found = node;
            break;
        }
    }
    if (!found) {
        return AURA_ERR_TAGNOTFOUND;
    }

    tag->type = found->mType;
    tag->datatype = found->mDataType;
    tag->name = found->mName;
    tag->data = found->mValue;
    tag->datalen = found->mDataLength;
    tag->updated = found->mUpdated ? 1 : 0;
    found->mUpdated = false;
    return AURA_OK;
}

AURA_RESULT Metadata::release()
{
    while (!isEmpty()) {
        firstTag()->release();
    }
    AURA_Delete(this);
    return AURA_OK;
}

} // namespace AURA
