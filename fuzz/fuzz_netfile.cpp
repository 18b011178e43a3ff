// Feeds the input to a net file as a server's whole answer (status line,
// headers, body): every connect, redirects included, gets the same bytes.
// The file is opened, read to its end in odd pieces and skipped forward;
// its tags are read along the way.
#include "base/aura_metadata.h"
#include "fuzz_net_answer.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 256 * 1024) {
        return 0;
    }
    fuzznet::Answer::install();
    fuzznet::Answer::serve(std::string(reinterpret_cast<const char *>(data), size));
    {
        AURA::NetFile file;
        if (file.init(nullptr, 0, 4096) == AURA_OK && file.open("http://fuzz/radio.ogg", 0, false, nullptr) == AURA_OK) {
            std::vector<uint8_t> buffer(5000);
            unsigned int got = 0;
            for (unsigned int piece = 1; piece < 5000; piece = piece * 3 + 7) {
                if (file.read(buffer.data(), 1, piece, &got) != AURA_OK) {
                    break;
                }
                AURA::Metadata *tags = nullptr;
                if (file.getMetadata(&tags) == AURA_OK && tags) {
                    for (AURA::TagNode *tag = tags->firstTag(); tag != tags->end(); tag = tag->nextTag()) {
                        (void)tag->mName;
                    }
                }
            }
            (void)file.reallySeek(100000);
        }
        (void)file.close();
    }
    fuzznet::Answer::done();
    return 0;
}
