// The tag list of a codec or a file: tags in order of arrival, each with its
// own pool copies of name and value and an updated mark that a query clears.
#ifndef AURA_METADATA_H
#define AURA_METADATA_H

#include "aura.h"
#include "aura_codec.h"
#include "base/aura_globals.h"

namespace AURA {

// One tag. Nodes live in pool memory and are linked into a circular list;
// a detached node points at itself. The list head (Metadata) has the same
// layout and carries no name or value.
class TagNode : public LinkedListNode {
public:
    TagNode() { initNode(); }
    TagNode(const TagNode &) = delete;
    TagNode &operator=(const TagNode &) = delete;
    ~TagNode() = default;

    // Copies name and data; the value gets zeroed terminator room for the
    // text data types (1 byte for 8-bit text, 2 for 16-bit text). 37 for a
    // null name, null data with a nonzero length or a length that does not
    // fit the pool; 44 when a copy cannot be allocated.
    [[nodiscard]] AURA_RESULT init(AURA_TAGTYPE type, const char *name, const void *data,
                                   unsigned int length, AURA_TAGDATATYPE dataType);
    // Sets the value again and marks the tag updated. Identical bytes of the
    // same length keep the stored copy. Otherwise the new value is stored
    // with the given length (terminator room follows it in memory but is not
    // counted); when it cannot be allocated the old value stays and the
    // result is 44.
    [[nodiscard]] AURA_RESULT update(const void *data, unsigned int length);
    // Unlinks the node and frees its name, its value and the node itself.
    AURA_RESULT release();

    [[nodiscard]] TagNode *nextTag() const { return static_cast<TagNode *>(mNext); }
    [[nodiscard]] TagNode *prevTag() const { return static_cast<TagNode *>(mPrev); }

    AURA_TAGTYPE mType = AURA_TAGTYPE_UNKNOWN;
    AURA_TAGDATATYPE mDataType = AURA_TAGDATATYPE_BINARY;
    char *mName = nullptr;
    void *mValue = nullptr;
    unsigned int mReserved0 = 0;
    unsigned int mDataLength = 0; // bytes, with the terminator room added by init
    bool mUpdated = true;
    bool mUnique = false;
    unsigned int mReserved1 = 0;
};

// A tag list. Its owner creates it with AURA_New(AURA::Metadata) and ends it
// with release(), which frees the head as well.
class Metadata : public TagNode {
public:
    Metadata() = default;

    // Adds a tag at the end of the list. When unique, the first tag with the
    // same name (exact) and the same type is updated in place instead. 37
    // for bad arguments (see TagNode::init), 44 when out of memory; the list
    // is unchanged on failure.
    [[nodiscard]] AURA_RESULT addTag(AURA_TAGTYPE type, const char *name, const void *data,
                                     unsigned int length, AURA_TAGDATATYPE dataType, bool unique);
    // Gives the occurrence-th tag (from 0) of that name and type this value,
    // marking it updated; with fewer such tags the value is added at the end.
    // Lists that hold a name several times (Vorbis comments) keep every
    // entry in its place this way.
    [[nodiscard]] AURA_RESULT setTag(AURA_TAGTYPE type, const char *name, int occurrence, const void *data,
                                     unsigned int length, AURA_TAGDATATYPE dataType);
    // Moves a pool-allocated node (out of any list it is in) to the end of
    // this list, which then owns it; 37 for null or the head itself.
    AURA_RESULT addTag(TagNode *node);
    // Moves every tag of another list into this one, in order. A unique tag
    // whose name and type are already here updates that tag and is
    // released; one of another type is another tag. 37 for null or this
    // list itself; 44 when an update cannot be allocated: the tags not yet
    // moved stay in `other`.
    [[nodiscard]] AURA_RESULT add(Metadata *other);
    // Moves every tag of another list into this one: the k-th tag of a name
    // and type takes the place of this list's k-th tag of that name and type
    // (marked updated), or goes to the end when there is none. A decoder
    // that reports its tags again thus updates them in place, repeated
    // names included. 37 for null or this list itself.
    AURA_RESULT replaceByOccurrence(Metadata *other);
    // Either pointer may be null.
    AURA_RESULT getNumTags(int *numTags, int *numUpdated) const;
    // index < 0: the first updated tag (with that name when one is given);
    // otherwise the index-th tag, counting only tags of that name when one
    // is given. The tag's updated mark is cleared. 78 when there is none,
    // 37 for a null output.
    [[nodiscard]] AURA_RESULT getTag(const char *name, int index, AURA_TAG *tag);
    // Releases every tag, then the list head itself.
    AURA_RESULT release();

    [[nodiscard]] TagNode *firstTag() const { return nextTag(); }
    [[nodiscard]] const TagNode *end() const { return this; }

private:
    // The occurrence-th tag (from 0) of that name and type, or null.
    [[nodiscard]] TagNode *findTag(AURA_TAGTYPE type, const char *name, int occurrence) const;
};

} // namespace AURA

#endif // AURA_METADATA_H
